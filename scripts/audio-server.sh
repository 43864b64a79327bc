# Sourced by scripts/run and scripts/bench: a private headless audio server
# (PulseAudio with a null sink "speakers" at 48 kHz and a null source "mic",
# its own runtime folder, no D-Bus), or the desktop's own when one runs.

# True when a server answers where libpulse would look for it.
desktop_audio_server() {
  socket=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/pulse/native
  { [ -n "${PULSE_SERVER:-}" ] || [ -S "$socket" ]; } && pactl info >/dev/null 2>&1
}

# Starts the private server and points this shell's clients at it.
start_private_audio_server() {
  audio_dir=$(mktemp -d /tmp/nimbrel-audio-XXXXXX)
  env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY XDG_RUNTIME_DIR="$audio_dir" HOME="$audio_dir" \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --log-target=stderr \
    -L module-native-protocol-unix \
    -L "module-null-sink sink_name=speakers rate=48000" \
    -L "module-null-source source_name=mic rate=48000" >"$audio_dir/server.log" 2>&1 &
  audio_server=$!
  export XDG_RUNTIME_DIR="$audio_dir" PULSE_SERVER="unix:$audio_dir/pulse/native"
  unset DBUS_SESSION_BUS_ADDRESS
  tries=0
  until pactl info >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ "$tries" -gt 200 ] || ! kill -0 "$audio_server" 2>/dev/null; then
      echo "the private audio server did not start:" >&2
      cat "$audio_dir/server.log" >&2
      return 1
    fi
    sleep 0.05
  done
}

stop_private_audio_server() {
  [ -n "${audio_server:-}" ] || return 0
  kill "$audio_server" 2>/dev/null || true
  wait "$audio_server" 2>/dev/null || true
  rm -rf "$audio_dir"
  audio_server=
}
