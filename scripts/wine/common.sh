# Shared settings of the Wine harness. Sourced with the state folder in $1.
WINE_STATE=${1:?state folder}
mkdir -p "$WINE_STATE"
WINE_STATE=$(cd "$WINE_STATE" && pwd)
export WINEPREFIX="$WINE_STATE/prefix"
export WINEDEBUG=${CORLINQ_WINEDEBUG:--all}  # a trace for a look: CORLINQ_WINEDEBUG=+timestamp,+debugstr
export WINEARCH=win64
# No Mono or Gecko installer prompts in a fresh prefix. No winemenubuilder: the shortcuts a run
# makes stay in the prefix, instead of becoming menu entries of this machine's desktop (and a
# process started for every shortcut).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ -f "$WINE_STATE/display" ]; then
  export DISPLAY=":$(cat "$WINE_STATE/display")"
fi
