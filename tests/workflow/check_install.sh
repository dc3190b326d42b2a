#!/bin/sh
# cmake --install lays out the shipped folder: the program finds every library beside itself.
#   check_install.sh BUILD_DIR
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for entry in Tarvo2_UpgradeTool libAdbConductor.so libZEVDownloadHandler.so libZEVSocketSession.so \
             libLibWireClass.so languages/tarvo2_upgradetool_zh_CN.qm fastbootfile/adb Log config \
             Config download/2M download/5M; do
  if [ ! -e "$prefix/$entry" ]; then
    echo "missing from the installed folder: $entry" >&2
    exit 1
  fi
done
if ldd "$prefix/Tarvo2_UpgradeTool" | grep -q "not found"; then
  ldd "$prefix/Tarvo2_UpgradeTool" | grep "not found" >&2
  exit 1
fi
for library in AdbConductor ZEVDownloadHandler ZEVSocketSession; do
  ldd "$prefix/Tarvo2_UpgradeTool" | grep -q "lib$library.so => $prefix/" || {
    echo "lib$library.so is not loaded from the installed folder" >&2
    exit 1
  }
done
echo "installed folder complete: $prefix"
