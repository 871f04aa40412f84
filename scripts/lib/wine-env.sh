# shellcheck shell=bash
# Running Ostrada's Windows programs under Wine on this Linux host.
#
# Source this file, then:
#   wine_env_require x64|x86     install what is missing (apt-get), and for
#                                x86 make 32-bit programs runnable
#   wine_env_xvfb_start          start Xvfb on a free display unless DISPLAY
#                                already works (wine_env_cleanup stops it)
#   wine_env_prefix x64|x86      create (once) and select the Wine prefix
#   wine_env_run x64|x86 SECS PROGRAM [ARGS...]
#                                run a Windows program with a time limit
#   wine_env_winpath PATH        the Windows path (Z:\...) of a Unix path
#   wine_env_cleanup             stop what this shell started
#
# Settings (environment):
#   WINE_ENV_BUILD_DIR     where the prefixes live (default: <repo>/build)
#   WINE_ENV_FRESH_PREFIX  1 = throw an existing prefix away and make it anew
#   WINE_ENV_QUIET         1 = no progress lines on stderr
#   WINE_ENV_WINEDEBUG     Wine's debug channels for the programs (default -all)
#
# After wine_env_require x86, WINE_ENV_I386_MODE is "native" or "qemu"; the
# qemu route is slow (tens of seconds per program start) and the emulator
# now and then dies with "qemu: uncaught target signal".

WINE_ENV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
: "${WINE_ENV_BUILD_DIR:=$WINE_ENV_ROOT/build}"
WINE_ENV_WINE64=/usr/lib/wine/wine64
WINE_ENV_WINE32=/usr/lib/wine/wine
WINE_ENV_XVFB_PID=""
WINE_ENV_USED=()
: "${WINE_ENV_I386_MODE:=}"

wine_env_log() {
    [ "${WINE_ENV_QUIET:-0}" = 1 ] || printf 'wine-env: %s\n' "$*" >&2
}

# Installs the given Debian packages that are not installed yet.
# "pkg:i386" adds the i386 architecture first when needed.
wine_env_install_packages() {
    local missing=() p
    for p in "$@"; do
        if [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" != installed ]; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    case " ${missing[*]}" in
        *:i386*)
            if ! dpkg --print-foreign-architectures | grep -qx i386; then
                dpkg --add-architecture i386 || return 1
            fi
            ;;
    esac
    wine_env_log "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null || return 1
    apt-get install -y -qq "${missing[@]}" >/dev/null || {
        wine_env_log "apt-get install ${missing[*]} failed"
        return 1
    }
}

# True when the 32-bit Wine loader can be executed, natively or through a
# registered emulator.
wine_env_i386_runs() {
    "$WINE_ENV_WINE32" --version >/dev/null 2>&1
}

# Makes i386 ELF programs runnable: natively when the kernel can, otherwise
# through qemu-i386 registered with binfmt_misc.
wine_env_setup_i386() {
    local misc=/proc/sys/fs/binfmt_misc qemu entry
    # A qemu entry left by an earlier run would hide native support:
    # binfmt_misc handlers are tried before the kernel's own ELF loader.
    entry="$misc/qemu-i386"
    if [ -e "$entry" ] && grep -qx enabled "$entry"; then
        echo 0 >"$entry"
        if wine_env_i386_runs; then
            WINE_ENV_I386_MODE=native
            export WINE_ENV_I386_MODE
            return 0
        fi
        echo 1 >"$entry"
    elif wine_env_i386_runs; then
        WINE_ENV_I386_MODE=native
        export WINE_ENV_I386_MODE
        return 0
    fi
    wine_env_install_packages qemu-user || return 1
    qemu="$(command -v qemu-i386 || echo /usr/bin/qemu-i386)"
    if [ ! -e "$misc/register" ]; then
        mount -t binfmt_misc binfmt_misc "$misc" || {
            wine_env_log "cannot mount binfmt_misc"
            return 1
        }
    fi
    [ "$(cat "$misc/status" 2>/dev/null)" = enabled ] || echo 1 >"$misc/status"
    if [ -e "$misc/qemu-i386" ]; then
        echo 1 >"$misc/qemu-i386"
    else
        # An i386 ELF executable or shared object (e_type 2 or 3, e_machine
        # 3); the mask lets the ABI bytes and the low bit of e_type vary.
        # F: the kernel opens the emulator now, so it works in any mount
        # namespace later.
        printf '%s' ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:F" \
            >"$misc/register" || {
            wine_env_log "cannot register $qemu with binfmt_misc"
            return 1
        }
    fi
    if ! wine_env_i386_runs; then
        wine_env_log "the 32-bit Wine loader still does not run"
        return 1
    fi
    WINE_ENV_I386_MODE=qemu
    export WINE_ENV_I386_MODE
    wine_env_log "32-bit programs run through $qemu"
}

# Emulator settings for the 32-bit loader. Without a reserved guest address
# space, qemu-i386 lets the host place its own mappings where Wine must put
# the shared user data page (0x7ffe0000), and Wine gives up at start.
wine_env_qemu_settings() {
    [ -n "$WINE_ENV_I386_MODE" ] || wine_env_setup_i386 || return 1
    if [ "$WINE_ENV_I386_MODE" = qemu ]; then
        export QEMU_RESERVED_VA="${QEMU_RESERVED_VA:-0xffff0000}"
    fi
}

# Installs what running the given kind of program needs.
wine_env_require() {
    local arch=$1
    case "$arch" in
        x64) wine_env_install_packages wine wine64 fonts-wine xvfb ;;
        x86) wine_env_install_packages wine wine64 wine32:i386 fonts-wine xvfb && wine_env_setup_i386 ;;
        *) wine_env_log "unknown kind '$arch' (x64 or x86)"; return 2 ;;
    esac
}

# True when $DISPLAY names an X server that answers.
wine_env_display_works() {
    [ -n "${DISPLAY:-}" ] || return 1
    if command -v xdpyinfo >/dev/null 2>&1; then
        xdpyinfo >/dev/null 2>&1
    elif command -v xdotool >/dev/null 2>&1; then
        xdotool getdisplaygeometry >/dev/null 2>&1
    else
        local n=${DISPLAY#*:}
        n=${n%%.*}
        [ -S "/tmp/.X11-unix/X$n" ]
    fi
}

# Starts Xvfb on a display number it picks itself, unless DISPLAY already
# works. Exports DISPLAY.
wine_env_xvfb_start() {
    wine_env_display_works && return 0
    [ -n "$WINE_ENV_XVFB_PID" ] && return 0
    command -v Xvfb >/dev/null 2>&1 || wine_env_install_packages xvfb || return 1
    local numfile i n=""
    numfile="$(mktemp)"
    Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp -noreset 9>"$numfile" >/dev/null 2>&1 &
    WINE_ENV_XVFB_PID=$!
    for ((i = 0; i < 200; i++)); do
        n="$(tr -dc 0-9 <"$numfile")"
        [ -n "$n" ] && break
        kill -0 "$WINE_ENV_XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$numfile"
    if [ -z "$n" ]; then
        wine_env_log "Xvfb did not start"
        wine_env_xvfb_stop
        return 1
    fi
    export DISPLAY=":$n"
    wine_env_log "Xvfb on $DISPLAY (pid $WINE_ENV_XVFB_PID)"
}

wine_env_xvfb_stop() {
    if [ -n "$WINE_ENV_XVFB_PID" ]; then
        kill "$WINE_ENV_XVFB_PID" 2>/dev/null
        wait "$WINE_ENV_XVFB_PID" 2>/dev/null
        WINE_ENV_XVFB_PID=""
    fi
}

wine_env_loader() {
    case "$1" in
        x64) echo "$WINE_ENV_WINE64" ;;
        x86) echo "$WINE_ENV_WINE32" ;;
    esac
}

# Selects the prefix of the given kind (exports WINEPREFIX, WINEARCH,
# WINEDEBUG, WINEDLLOVERRIDES) and creates it when it is missing.
#
# Both kinds of prefix are 64-bit Windows. The x86 one also has its 32-bit
# half (syswow64), so that a 32-bit program runs as it does on nearly every
# Windows today, under WoW64. That keeps the emulated code down to the
# 32-bit program itself: Wine's own services, desktop and set-up programs
# are 64-bit and run natively, even where 32-bit code needs the emulator.
# A 32-bit-only prefix would run all of them emulated, which takes ten
# minutes to create and gives the emulator far more chances to crash.
wine_env_prefix() {
    local arch=$1 loader=$WINE_ENV_WINE64 limit
    case "$arch" in
        x64) limit=300 ;;
        x86) limit=1200; wine_env_qemu_settings || return 1 ;;
        *) wine_env_log "unknown kind '$arch' (x64 or x86)"; return 2 ;;
    esac
    export WINEARCH=win64
    export WINEPREFIX="$WINE_ENV_BUILD_DIR/wineprefix-$arch"
    export WINEDEBUG="${WINE_ENV_WINEDEBUG:--all}"
    # No .NET or HTML engine install prompts.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset WINESERVER WINELOADER
    if [ "${WINE_ENV_FRESH_PREFIX:-0}" = 1 ] && [ -z "${WINE_ENV_FRESHENED_[$arch]:-}" ]; then
        WINEPREFIX="$WINEPREFIX" /usr/lib/wine/wineserver -k >/dev/null 2>&1
        rm -rf "$WINEPREFIX"
    fi
    WINE_ENV_FRESHENED_[$arch]=1
    case " ${WINE_ENV_USED[*]} " in
        *" $WINEPREFIX "*) ;;
        *) WINE_ENV_USED+=("$WINEPREFIX") ;;
    esac
    # A prefix made before it had its 32-bit half is made anew.
    [ -f "$WINEPREFIX/.ostrada-ready" ] && wine_env_prefix_complete "$arch" && return 0

    wine_env_xvfb_start || return 1
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINE_ENV_BUILD_DIR"
    wine_env_log "creating $WINEPREFIX (up to ${limit}s)"
    local started=$SECONDS log="$WINE_ENV_BUILD_DIR/wineprefix-$arch.log"
    # The loader starts Wine's own wineboot.exe and waits 5 minutes for it
    # at most; on the emulated route it can take longer, and then the command
    # fails while wineboot.exe goes on. Success is wineboot's time stamp,
    # written when it has finished, after every process of the prefix ended.
    # The crash dialog is still on in a new prefix, and a crash of one of
    # the set-up programs (the emulator has them) would wait on it for ever:
    # without winedbg, such a program just ends.
    WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winedbg.exe=" WINEDEBUG=err+all \
        timeout -k 10 "$limit" "$loader" wineboot --init >"$log" 2>&1
    local rest=$((limit - (SECONDS - started)))
    [ $rest -ge 10 ] || rest=10
    timeout -k 10 "$rest" /usr/lib/wine/wineserver -w
    if [ ! -s "$WINEPREFIX/.update-timestamp" ] || [ ! -f "$WINEPREFIX/system.reg" ] ||
        ! wine_env_prefix_complete "$arch"; then
        wine_env_log "creating $WINEPREFIX failed after $((SECONDS - started))s; the end of $log:"
        tail -n 15 "$log" >&2
        /usr/lib/wine/wineserver -k >/dev/null 2>&1
        return 1
    fi
    # No crash dialog: a faulting program just ends (its backtrace goes to
    # stderr). The server is down, so the registry file can be edited.
    if ! grep -q 'Software\\\\Wine\\\\WineDbg' "$WINEPREFIX/user.reg"; then
        printf '\n[Software\\\\Wine\\\\WineDbg] %s\n#time=0\n"ShowCrashDialog"=dword:00000000\n' \
            "$(date +%s)" >>"$WINEPREFIX/user.reg"
    fi
    "$loader" --version >"$WINEPREFIX/.ostrada-ready"
    wine_env_log "prefix ready after $((SECONDS - started))s"
}
declare -gA WINE_ENV_FRESHENED_=()

# True when the selected prefix has what programs of the given kind need:
# for x86, the 32-bit half.
wine_env_prefix_complete() {
    [ "$1" = x64 ] || [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]
}

# The Windows path of a Unix path, through Wine's Z: drive.
wine_env_winpath() {
    local p
    p="$(readlink -f "$1")"
    p="Z:${p//\//\\}"
    printf '%s\n' "$p"
}

# wine_env_run x64|x86 SECONDS PROGRAM [ARGS...]
# Runs a Windows program in the prefix of its kind, ending it (and the
# prefix's other programs) after SECONDS. The exit status is the program's,
# 124 on time-out, 128+n when the Unix process died of signal n, 125 when
# Wine could not be set up. Leaves the prefix of that kind selected.
wine_env_run() {
    local arch=$1 secs=$2 rc
    shift 2
    wine_env_xvfb_start || return 125
    wine_env_prefix "$arch" || return 125
    (
        exec timeout -k 10 "$secs" "$(wine_env_loader "$arch")" "$@"
    )
    rc=$?
    if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
        wine_env_log "time limit of ${secs}s reached: ending the programs of the $arch prefix"
        WINEPREFIX="$WINE_ENV_BUILD_DIR/wineprefix-$arch" /usr/lib/wine/wineserver -k >/dev/null 2>&1
    fi
    return $rc
}

# Lets the prefixes used here wind down (ending what is left after 30 s),
# and stops the Xvfb started by wine_env_xvfb_start.
wine_env_cleanup() {
    local p
    for p in "${WINE_ENV_USED[@]}"; do
        WINEPREFIX="$p" timeout 30 /usr/lib/wine/wineserver -w >/dev/null 2>&1 ||
            WINEPREFIX="$p" /usr/lib/wine/wineserver -k >/dev/null 2>&1
    done
    WINE_ENV_USED=()
    wine_env_xvfb_stop
}
