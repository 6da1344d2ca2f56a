# The agent at work: installed on PC1 with vxctl, spyware planted there,
# a quick scan that only logs and a full scan that quarantines, ordered from
# the console; then the scan history the agent kept, shown with vxinspect.
echo "== the agent at work: install, plant, scan from the console"
lab="$net/agent-lab"
"$bin/lab" up "$lab" --clients 1 >/dev/null
console="$lab/console"
installed="$console/C/Program Files/Veltrix"
mkdir -p "$installed"
for f in VXAgent.exe Imprinter.dll VXMonitor.exe VXTrackingCookies.ini; do cp "$bin/$f" "$installed/"; done
"$bin/vxdbtool" sample --spies 3 --out "$installed/VXCESpylist.db" >/dev/null
cp "$installed/VXCESpylist.db" "$installed/ProcessSpy.db"
key='HKLM\SOFTWARE\VXCorporate'
"$bin/vxhost" --root "$console" reg add "$key" /v InstalledPath /t REG_SZ /d 'C:\Program Files\Veltrix' >/dev/null
"$bin/vxhost" --root "$console" reg add "$key" /v ServerVersionNo /t REG_SZ /d 5.1 >/dev/null
"$bin/vxhost" --root "$console" reg add "$key" /v DatabaseVersionNo /t REG_SZ /d 2.0 >/dev/null
"$bin/vxhost" --root "$console" reg add "$key" /v AskPassword /t REG_DWORD /d 0 >/dev/null
# No courtesy pauses on the demo client: the scans take a moment only.
"$bin/vxhost" --root "$lab/pc1" reg add "$key" /v PauseScale /t REG_DWORD /d 0 >/dev/null

vxctl() { VX_HOST_ROOT="$console" "$bin/vxctl" "$@"; }
echo "-- installing the agent on pc1"
vxctl copy pc1 VXAgent.exe Imprinter.dll VXMonitor.exe VXTrackingCookies.ini VXCESpylist.db ProcessSpy.db
vxctl service pc1 VXAgent start
vxctl register pc1
echo "-- planting the sample spyware on pc1 (lab plant)"
"$bin/lab" plant "$lab" PC1 | tail -n 1
echo "-- vxctl scan pc1 quick (log only)"
vxctl scan pc1 quick
echo "-- vxctl scan pc1 full quarantine"
vxctl scan pc1 full quarantine
echo "-- the agent's ScanHistory.ini on pc1, shown with vxinspect"
"$bin/vxinspect" "$lab/pc1/C/WINDOWS/system32/ScanHistory.ini"
"$bin/lab" down "$lab"
