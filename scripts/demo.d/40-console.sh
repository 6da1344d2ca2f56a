# The console's connection to its clients, with vxctl: the agent installed
# on PC1, an older agent on PC3, none on PC2; then one check of all three.
echo "== console and clients: vxctl check against three clients"
lab="$net/console-lab"
"$bin/lab" up "$lab" --clients 3 >/dev/null
console="$lab/console"
installed="$console/C/Program Files/Veltrix"
mkdir -p "$installed"
cp "$bin/VXAgent.exe" "$installed/"
echo "spy definitions 2.0" >"$installed/VXCESpylist.db"
echo "process definitions 2.0" >"$installed/ProcessSpy.db"
key='HKLM\SOFTWARE\VXCorporate'
"$bin/vxhost" --root "$console" reg add "$key" /v InstalledPath /t REG_SZ /d 'C:\Program Files\Veltrix' >/dev/null
"$bin/vxhost" --root "$console" reg add "$key" /v ServerVersionNo /t REG_SZ /d 5.1 >/dev/null
"$bin/vxhost" --root "$console" reg add "$key" /v DatabaseVersionNo /t REG_SZ /d 2.0 >/dev/null
"$bin/vxhost" --root "$console" reg add "$key" /v AskPassword /t REG_DWORD /d 0 >/dev/null

vxctl() { VX_HOST_ROOT="$console" "$bin/vxctl" "$@"; }
for pc in pc1 pc3; do
  echo "-- installing the agent on $pc"
  vxctl copy "$pc" VXAgent.exe
  vxctl service "$pc" VXAgent start
  vxctl register "$pc"
done
echo "-- pc3 is made to look like an older installation (ClientVersionNo 4.0)"
"$bin/vxhost" --root "$lab/pc3" reg add 'HKLM\Software\VXCorporate' /v ClientVersionNo /t REG_SZ /d 4.0 >/dev/null
echo "-- vxctl check pc1 pc2 pc3"
vxctl check pc1 pc2 pc3 || true
"$bin/lab" down "$lab"
