# Wine settings shared by scripts/setup-wine.sh, the test runs and the
# stopping of Wine after them (sourced). VRXCHDET_WINEARCH chooses the prefix:
# win32 (the default) for 32-bit programs, win64 for 64-bit ones, each a
# prefix of our own. Sets wine_loader, the command that runs a program in it.
# No debug output, and neither desktop integration, nor the offer to install
# the .NET and HTML runtimes, nor the debugger on a crash: their windows would
# wait for a user who is not there.
export WINEARCH="${VRXCHDET_WINEARCH:-win32}"
case "$WINEARCH" in
  win32)
    export WINEPREFIX="${VRXCHDET_WINEPREFIX:-${HOME:-/root}/.wine-vrxchdet}"
    wine_loader=wine
    ;;
  win64)
    # Debian's wine command prefers the 32-bit loader, which would have to
    # start the 64-bit one; this one runs natively on x86-64 machines.
    export WINEPREFIX="${VRXCHDET_WINEPREFIX64:-${HOME:-/root}/.wine-vrxchdet64}"
    export WINELOADER=/usr/lib/wine/wine64
    wine_loader=$WINELOADER
    ;;
  *)
    echo "VRXCHDET_WINEARCH must be win32 or win64, not $WINEARCH" >&2
    return 1
    ;;
esac
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d;winedbg.exe=d"
