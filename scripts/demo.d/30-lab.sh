# The lab: a console host and two client hosts with their daemons on
# loopback, users logged on; a sample definition database of made-up spyware.
echo "== the lab network: console + 2 clients, daemons on 127.0.0.1"
"$bin/lab" up "$net/lab" --clients 2
echo "-- processes of client PC1 (the logged-on user's explorer.exe among them)"
"$bin/vxhost" --root "$net/lab/pc1" ps || true
"$bin/lab" down "$net/lab"

echo
echo "== a sample definition database (made-up spyware), sealed, then decompiled"
"$bin/vxdbtool" sample --spies 3 --out "$net/VXCESpylist.db"
"$bin/vxdbtool" decompile "$net/VXCESpylist.db" "$net/VXCESpylist.src"
head -n 20 "$net/VXCESpylist.src"
