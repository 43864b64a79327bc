# Sourced by scripts/run and scripts/bench-live: a private headless audio
# server in its own runtime folder, or the desktop's own when one runs.
#   pulseaudio: a null sink "speakers" and a null source "mic", no D-Bus
#   pipewire:   pipewire, wireplumber and pipewire-pulse on a private session
#               bus, null sinks "speakers" and "headset", a virtual source
#               "mic"
# Both at 48 kHz, "speakers" the default sink.

# True when a server answers where libpulse would look for it.
desktop_audio_server() {
  socket=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/pulse/native
  { [ -n "${PULSE_SERVER:-}" ] || [ -S "$socket" ]; } && pactl info >/dev/null 2>&1
}

# audio_wait WHAT PID TEST...: polls TEST until it holds, for up to 20 s, while
# PID lives; says why not with the folder's logs.
audio_wait() {
  what=$1 pid=$2
  shift 2
  tries=0
  until "$@" >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ "$tries" -gt 400 ] || ! kill -0 "$pid" 2>/dev/null; then
      echo "the private audio server did not start ($what); its logs:" >&2
      tail -n 20 "$audio_dir"/*.log >&2
      return 1
    fi
    sleep 0.05
  done
}

audio_default_is_speakers() { [ "$(pactl get-default-sink 2>/dev/null)" = speakers ]; }

# audio_spawn NAME COMMAND...: starts a daemon of the stack, noted for the stop.
audio_spawn() {
  log=$audio_dir/$1.log
  shift
  env HOME="$audio_dir" "$@" >"$log" 2>&1 &
  audio_pids="$! $audio_pids"  # newest first: stopped in reverse order
}

# start_private_audio_server [pulseaudio|pipewire]: starts it and points this
# shell's clients at it.
start_private_audio_server() {
  audio_kind=${1:-pulseaudio}
  audio_dir=$(mktemp -d /tmp/nimbrel-audio-XXXXXX)
  audio_pids=
  # Both servers put their socket there, pipewire-pulse only if it exists.
  mkdir -p "$audio_dir/pulse"
  export XDG_RUNTIME_DIR="$audio_dir" PULSE_SERVER="unix:$audio_dir/pulse/native"
  unset DISPLAY
  case $audio_kind in
    pulseaudio)
      unset DBUS_SESSION_BUS_ADDRESS
      audio_spawn server pulseaudio -n --daemonize=no --exit-idle-time=-1 --log-target=stderr \
        -L module-native-protocol-unix \
        -L "module-null-sink sink_name=speakers rate=48000" \
        -L "module-null-source source_name=mic rate=48000"
      set -- $audio_pids
      audio_wait pulseaudio "$1" pactl info || return 1
      ;;
    pipewire)
      # WirePlumber links nothing without a session bus.
      export DBUS_SESSION_BUS_ADDRESS="unix:path=$audio_dir/bus"
      audio_spawn dbus dbus-daemon --session --nofork --nopidfile \
        --address="$DBUS_SESSION_BUS_ADDRESS"
      set -- $audio_pids
      audio_wait dbus-daemon "$1" test -S "$audio_dir/bus" || return 1
      audio_spawn pipewire pipewire
      set -- $audio_pids
      audio_wait pipewire "$1" test -S "$audio_dir/pipewire-0" || return 1
      audio_spawn wireplumber wireplumber
      audio_spawn server pipewire-pulse
      set -- $audio_pids
      audio_wait pipewire-pulse "$1" pactl info || return 1
      for sink in speakers headset; do
        pactl load-module module-null-sink sink_name=$sink rate=48000 >/dev/null || return 1
      done
      pactl load-module module-null-sink sink_name=mic \
        media.class=Audio/Source/Virtual rate=48000 >/dev/null || return 1
      pactl set-default-sink speakers
      # WirePlumber settles the default a moment after the request.
      audio_wait "the default sink" "$1" audio_default_is_speakers || return 1
      ;;
    *)
      echo "unknown audio server \"$audio_kind\" (pulseaudio or pipewire)" >&2
      rm -rf "$audio_dir"
      return 2
      ;;
  esac
}

# Stops what start_private_audio_server started, newest first, and removes
# its folder.
stop_private_audio_server() {
  [ -n "${audio_dir:-}" ] || return 0
  for pid in $audio_pids; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$audio_dir"
  audio_pids=
  audio_dir=
}
