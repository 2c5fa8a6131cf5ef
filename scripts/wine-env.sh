# Wine settings shared by scripts/setup-wine.sh and the test runs (sourced):
# a 32-bit prefix of our own, no debug output, and neither desktop
# integration, nor the offer to install the .NET and HTML runtimes, nor the
# debugger on a crash: their windows would wait for a user who is not there.
export WINEPREFIX="${VRXCHDET_WINEPREFIX:-${HOME:-/root}/.wine-vrxchdet}"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d;winedbg.exe=d"
