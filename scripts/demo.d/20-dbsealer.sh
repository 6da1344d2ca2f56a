# Demo step (sourced by scripts/demo.sh with VX_HOST_ROOT and $bin set):
# DbSealer seals the definition databases of the console's installation
# folder, and a second run makes them plain again.
echo "== DbSealer: sealing the definition databases of the console's installation"
install_dir='C:\Program Files\VXCorporate'
"$bin/vxhost" reg add 'HKLM\Software\VXCorporate' /v InstalledPath /t REG_SZ /d "$install_dir" >/dev/null
real_dir=$("$bin/vxhost" path "$install_dir")
mkdir -p "$real_dir"
# Two small plain databases (string map files) in the installation folder.
printf '\002\000\006SpyOne\0014\006SpyTwo\0015' >"$real_dir/VXCESpylist.db"
printf '\001\000\007spy.exe\0011' >"$real_dir/ProcessSpy.DB"
echo "-- before: VXCESpylist.db is a readable string map file"
"$bin/vxinspect" "$real_dir/VXCESpylist.db"
for run in first second; do
  echo "-- $run run of DbSealer.exe"
  "$bin/DbSealer.exe" 2>&1 && echo "(exit code $?)"
  echo "-- VXCESpylist.db after the $run run:"
  od -A d -t x1 "$real_dir/VXCESpylist.db" | head -2
  "$bin/vxinspect" "$real_dir/VXCESpylist.db" 2>&1 | head -4 || true
done
