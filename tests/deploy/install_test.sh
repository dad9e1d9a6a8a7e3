#!/usr/bin/env bash
# cmake --install of the native build into a folder of its own, and what was installed at work:
# the tools answer --help, seal and open an envelope, the update-server starts from the
# installed instance sample and answers a version query, the systemd unit passes
# systemd-analyze (when present).
#   install_test.sh BUILD_DIR STATE_DIR
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR STATE_DIR" >&2; exit 2; }
build=$(readlink -f "$1") state=$2
root=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)
rm -rf "$state"
mkdir -p "$state"
state=$(readlink -f "$state")
prefix=$state/prefix
share=$prefix/share/corlinq

teardown() { "$root/scripts/test-server.sh" stop "$state/servers" >/dev/null 2>&1; }
trap teardown EXIT
trap 'exit 1' INT TERM

failures=0
ok() { echo "ok - $1"; }
fail() { echo "FAIL - $1"; failures=$((failures + 1)); }
check() {  # description command...  (the command's output shows only when it fails)
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then ok "$what"; else fail "$what"; [ -z "$out" ] || sed 's/^/    /' <<<"$out"; fi
}

if ! cmake --install "$build" --prefix "$prefix" >"$state/install.log" 2>&1; then
  echo "FAIL - cmake --install"
  cat "$state/install.log"
  exit 1
fi
ok "cmake --install into $prefix"

echo "# the files"
for tool in update-server digest-tool envelope-tool; do
  check "bin/$tool is an executable" test -x "$prefix/bin/$tool"
done
for sample in README.md nginx/corlinq.conf update-server/instance.json \
  systemd/corlinq-update-server@.service; do
  check "share/corlinq/deploy/$sample is the shipped sample" cmp "$share/deploy/$sample" "$root/deploy/$sample"
done

echo "# the installed tools run"
for tool in update-server digest-tool; do
  check "$tool --help: exit 0, its usage on stdout" bash -c "'$prefix/bin/$tool' --help 2>/dev/null | grep -q '$tool'; exit \$((PIPESTATUS[0] + PIPESTATUS[1]))"
done
key=$root/keys/envelope.pem
sealed=$(cd "$state" && "$prefix/bin/envelope-tool" seal 867 --key "$key" 2>&1)
check "envelope-tool seals and opens" test "$(cd "$state" && "$prefix/bin/envelope-tool" open "$sealed" --key "$key" 2>&1)" = 867

echo "# the installed update-server starts from the installed instance sample"
# The build's signed demo release: the sample checks a release before it serves.
cp -R "$build/demo-release" "$state/release"
DEPLOY_ROOT=$share
source "$root/scripts/lib/deploy.sh"
if deploy_instance_config "$state/instance.json" 0 "$key" 867 1.2.3.4 0 \
  https://updates.example-bank.cn/release/867 "$state/release" "$root/keys/manifest-public.pem" &&
  "$root/scripts/test-server.sh" start "$state/servers" instance "$prefix/bin/update-server" \
    --config "$state/instance.json" >/dev/null; then
  ok "update-server starts"
  port=$("$root/scripts/test-server.sh" port "$state/servers" instance http 127.0.0.1)
  reply=$(curl -s --max-time 10 "http://127.0.0.1:$port/assist/server?reqtype=1&data=$sealed")
  check "it answers the version query (plain HTTP on loopback)" \
    bash -c "'$prefix/bin/envelope-tool' open '$reply' --key '$key' | grep -q '\"v\":\"1.2.3.4\"'"
  check "and stops cleanly" "$root/scripts/test-server.sh" stop "$state/servers" instance
else
  fail "update-server starts"
fi

if command -v systemd-analyze >/dev/null; then
  echo "# the systemd unit, pointed at the installed update-server"
  mkdir -p "$state/units"
  unit=$state/units/corlinq-update-server@.service
  deploy_subst "$share/deploy/systemd/corlinq-update-server@.service" "$unit" \
    /usr/local/bin/update-server "$prefix/bin/update-server"
  # Unknown keys are only warned about: any output is a failure.
  out=$(cd "$state/units" && systemd-analyze verify "$state/units/corlinq-update-server@query-1.service" 2>&1)
  check "systemd-analyze verify: exit 0, no complaint" test $? = 0 -a -z "$out"
  [ -z "$out" ] || sed 's/^/    /' <<<"$out"
fi

echo "install: $failures failure(s)"
[ $failures -eq 0 ]
