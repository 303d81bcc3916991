#!/usr/bin/env bash
# Time from the start of installer-host-gtk to its first page on the screen, under Xvfb.
#
# The host runs on a throw-away home with one payload file, on a private Xvfb display with its
# own session and accessibility buses (as on a desktop, where both are running already), in a
# private mount and IPC namespace with its own /var/tmp, so the installer mutex of this machine
# is never touched. "First page" is the host's own report after the first frame that shows the
# installation page (the section loaded, the payload copied, the page drawn).
#
# Usage: bench/gui_startup.sh [BUILD_DIR] [RUNS]   (default build/release, 10 runs)
# Prints each run and the median, minimum and maximum in milliseconds; the goal is 1500 ms.
set -eu
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/release}" && pwd)
runs=${2:-10}
host=$build/InstallerHost/gtk/installer-host-gtk
bundle=$build/PostInstallSection/PostInstallSection.bundle
[ -x "$host" ] || { echo "no $host: build the release preset first" >&2; exit 2; }

if [ "${GUI_STARTUP_INSIDE:-}" != 1 ]; then
  # Again inside a private namespace, on a private display with a session bus.
  exec unshare --mount --ipc --propagation private -- env GUI_STARTUP_INSIDE=1 \
    xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" dbus-run-session -- "$0" "$build" "$runs"
fi

mount -t tmpfs -o mode=1777,size=8m gui-startup /var/tmp
work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work/runtime GSETTINGS_BACKEND=memory GIO_USE_VFS=local GSK_RENDERER=${GSK_RENDERER:-cairo}
mkdir -m 700 "$XDG_RUNTIME_DIR"
/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
launcher=$!
cleanup() { kill "$launcher" 2>/dev/null || :; wait "$launcher" 2>/dev/null || :; rm -rf "$work"; }
trap cleanup EXIT
for _ in $(seq 100); do
  dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
    string:org.a11y.Bus 2>/dev/null | grep -q true && break
  sleep 0.05
done

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
mkdir -p "$HOME/Pictures" "$HOME/Videos" "$HOME/Music" "$HOME/Documents" "$work/payload"
printf '[Desktop Entry]\nType=Application\nName=Ombrix\nExec=/bin/true\n' > "$work/payload/app.desktop"

times=()
for i in $(seq "$runs"); do
  rm -f "$work/installed.desktop"
  start=$(date +%s%N)
  coproc HOST { exec "$host" --install "$work/payload/app.desktop=$work/installed.desktop" "$bundle" 2>/dev/null; }
  pid=$HOST_PID
  shown=""
  while IFS= read -r line <&"${HOST[0]}"; do
    case $line in *"first page shown"*) shown=$(date +%s%N); break ;; esac
  done
  kill -TERM "$pid" 2>/dev/null || :
  wait "$pid" 2>/dev/null || :
  [ -n "$shown" ] || { echo "run $i: the first page was not reported" >&2; exit 1; }
  ms=$(( (shown - start) / 1000000 ))
  times+=("$ms")
  echo "run $i: ${ms} ms"
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
n=${#sorted[@]}
echo "time to first page (GSK_RENDERER=$GSK_RENDERER, $n runs): median ${sorted[$((n / 2))]} ms," \
     "min ${sorted[0]} ms, max ${sorted[$((n - 1))]} ms (goal: 1500 ms)"
