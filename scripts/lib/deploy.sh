# shellcheck shell=bash
# The nginx deployment of deploy/ on loopback, for tests: the shipped samples with this run's
# values put in (every value that is replaced must be found in the sample, so a changed sample
# fails the tests instead of going untested), nginx with its own main configuration, pid file,
# logs and temporary folders, stopped by its pid. Sourced, not run. Needs DEPLOY_ROOT (the
# repository).

# Copies SRC to OUT, replacing each OLD by NEW (literally, every occurrence). Fails, naming it,
# when an OLD does not occur in SRC. deploy_subst SRC OUT [OLD NEW]...
deploy_subst() {
  python3 - "$@" <<'PY'
import sys
src, out, pairs = sys.argv[1], sys.argv[2], sys.argv[3:]
text = open(src, encoding="utf-8").read()
for old, new in zip(pairs[0::2], pairs[1::2]):
    if old not in text:
        sys.exit(f"deploy_subst: {src} no longer contains {old!r}")
    text = text.replace(old, new)
open(out, "w", encoding="utf-8").write(text)
PY
}

# The update-server instance configuration from deploy/update-server/instance.json. URL "" keeps
# the sample's way (no "url": the reply's URL is built from nginx's scheme and Host); otherwise
# the bank gets that explicit "url".
# RELEASE_KEY: the public key RELEASE is checked against before the instance serves.
# deploy_instance_config OUT PORT ENVELOPE_KEY BANK VERSION UPDATE URL RELEASE RELEASE_KEY
deploy_instance_config() {
  local out=$1 port=$2 key=$3 bank=$4 version=$5 update=$6 url=$7 release=$8 release_key=$9
  local url_line=''
  [ -z "$url" ] || url_line="\"url\": \"$url\", "
  deploy_subst "$DEPLOY_ROOT/deploy/update-server/instance.json" "$out" \
    '"port": 8081' "\"port\": $port" \
    '"/etc/corlinq/keys/envelope.pem"' "\"$key\"" \
    '"/etc/corlinq/keys/manifest-public.pem"' "\"$release_key\"" \
    '"867": {' "\"$bank\": {" \
    '"version": "1.0.0.1"' "\"version\": \"$version\"" \
    '"update": "0"' "\"update\": \"$update\"" \
    '"release": "/srv/corlinq/release/867"' "$url_line\"release\": \"$release\""
}

# nginx's files for one run in DIR: DIR/corlinq.conf (the sample with PORT on 127.0.0.1, the
# certificate, ROOT as the folder holding release/, the instances' ports as the upstream) and
# DIR/nginx.conf, the main configuration that includes it.
# deploy_nginx_config DIR PORT CERT KEY ROOT INSTANCE_PORT...
deploy_nginx_config() {
  local dir=$1 port=$2 cert=$3 key=$4 root=$5
  shift 5
  local upstream='' p
  for p in "$@"; do upstream+="    server 127.0.0.1:$p max_fails=2 fail_timeout=10s;"$'\n'; done
  mkdir -p "$dir/tmp"
  deploy_subst "$DEPLOY_ROOT/deploy/nginx/corlinq.conf" "$dir/corlinq.conf" \
    "    server 127.0.0.1:8081 max_fails=2 fail_timeout=10s;"$'\n'"    server 127.0.0.1:8082 max_fails=2 fail_timeout=10s;"$'\n' "$upstream" \
    'listen 443 ssl;' "listen 127.0.0.1:$port ssl;" \
    'listen [::]:443 ssl;' '# (no IPv6 listener in tests)' \
    '/etc/corlinq/tls/fullchain.pem' "$cert" \
    '/etc/corlinq/tls/privkey.pem' "$key" \
    'root /srv/corlinq;' "root $root;" || return 1
  # Run as this user when started as root (workers otherwise become "nobody").
  local user=''
  [ "$(id -u)" != 0 ] || user="user $(id -un) $(id -gn);"
  cat >"$dir/nginx.conf" <<CONF
daemon off;
master_process on;
worker_processes 1;
$user
pid $dir/nginx.pid;
error_log $dir/error.log notice;
events { worker_connections 128; }
http {
  include /etc/nginx/mime.types;
  default_type application/octet-stream;
  # A site that compresses everything else: the sample must keep its answers uncompressed.
  gzip on;
  gzip_types *;
  gzip_min_length 1;
  log_format corlinq '\$remote_addr "\$request" \$status \$body_bytes_sent upstream=\$upstream_addr';
  access_log $dir/access.log corlinq;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  include $dir/corlinq.conf;
}
CONF
}

# Starts nginx on DIR's files in the background and waits (up to 20 s) until it listens (its pid
# file is written after the listeners are bound). The pid goes to DIR/nginx.master.
deploy_nginx_start() {
  local dir=$1
  rm -f "$dir/nginx.pid"
  nginx -t -q -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" || {
    echo "deploy: nginx refuses the configuration:" >&2
    sed 's/^/  /' "$dir/error.log" >&2
    return 1
  }
  nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" </dev/null >>"$dir/nginx.out" 2>&1 &
  local pid=$!
  echo "$pid" >"$dir/nginx.master"
  for _ in $(seq 200); do
    [ -s "$dir/nginx.pid" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "deploy: nginx did not start; its log:" >&2
  sed 's/^/  /' "$dir/error.log" "$dir/nginx.out" >&2 2>/dev/null
  deploy_nginx_stop "$dir"
  return 1
}

# Stops the nginx started on DIR (SIGTERM to its master, up to 10 s, then SIGKILL).
deploy_nginx_stop() {
  local dir=$1 pid
  pid=$(cat "$dir/nginx.master" 2>/dev/null) || return 0
  rm -f "$dir/nginx.master"
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 1
}

# A loopback TCP port nothing listens on now.
deploy_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
