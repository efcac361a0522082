#!/usr/bin/python3
"""Checks `orvad-discover --json` output against the switches the rig made.

Usage: check-discover.py OUTPUT SWITCH_DIR...
Each SWITCH_DIR holds switch.state (the values the switch was given) and truth (orvad-show's
records, "URL<TAB>attributes"). The expected row of a switch comes from those, not from the
discovered attributes: name, serial and WWN from the state, CIM from its CIMEnable, addresses
from its interface values (IPv4 before IPv6), WBEM URLs from the truth. Prints each difference
and exits 1 when there is one.
"""
import json
import sys

KEYS = ["name", "product", "serial", "wwn", "cim", "addresses", "wbem"]


def state_values(path):
    values = {}
    with open(path, encoding="utf-8") as state:
        for line in state:
            if "=" in line and not line.lstrip().startswith(("#", "!")):
                name, value = line.rstrip("\n").split("=", 1)
                values[name.strip()] = value[1:] if value.startswith(" ") else value
    return values


def expected_row(directory):
    values = state_values(directory + "/switch.state")
    with open(directory + "/truth", encoding="utf-8") as truth:
        urls = [line.split("\t", 1)[0] for line in truth if line.strip()]
    ipv4 = [values["Config.System.Eth.%d.IPAddress" % eth] for eth in (0, 1)]
    ipv6 = [a for eth in (0, 1) for a in values["Oper.System.Eth.%d.IPv6AddressList" % eth].split(",") if a]
    cim = values.get("Config.Services.CIMEnable") == "True"
    return {
        "name": values["Config.Switch.SymName"],
        "product": values["Default.Mfg.ProductID"],
        "serial": values["Config.Mfg.ChassisSerialNum"],
        "wwn": values["Oper.Switch.WWN"].upper() if cim else None,
        "cim": cim,
        "addresses": (ipv4, ipv6),
        "wbem": sorted(url for url in urls if url.startswith("service:wbem:")),
    }


def problems(lines, expected):
    if len(lines) < 2 or lines[0] != "[" or lines[-1] != "]":
        return ["not a '[' line, object lines and a ']' line:\n" + "\n".join(lines[:5])]
    rows, found = [], []
    for number, line in enumerate(lines[1:-1], 2):
        text = line[:-1] if line.endswith(",") and number < len(lines) - 1 else line
        try:
            row = json.loads(text)
        except ValueError as error:
            found.append("line %d is not one JSON object (%s): %s" % (number, error, line))
            continue
        if list(row) != KEYS:
            found.append("line %d: keys %s, not %s" % (number, list(row), KEYS))
            continue
        rows.append(row)
    by_name = {row["name"]: row for row in rows}
    if len(by_name) != len(rows) or set(by_name) != set(expected):
        found.append("switches %s, expected %s" % (sorted(map(str, by_name)), sorted(expected)))
    if [row["name"] for row in rows] != sorted(row["name"] for row in rows):
        found.append("rows not sorted by name")
    for name, want in sorted(expected.items()):
        row = by_name.get(name)
        if row is None:
            continue
        for key in ("serial", "wwn", "cim"):
            if row[key] != want[key]:
                found.append("%s: %s %r, expected %r" % (name, key, row[key], want[key]))
        if str(row["product"]) != want["product"]:
            found.append("%s: product %r, expected %s" % (name, row["product"], want["product"]))
        ipv4, ipv6 = want["addresses"]
        got = row["addresses"]
        if sorted(got) != sorted(ipv4 + ipv6) or sorted(got[: len(ipv4)]) != sorted(ipv4):
            found.append("%s: addresses %s, expected %s then %s" % (name, got, ipv4, ipv6))
        if sorted(row["wbem"]) != want["wbem"]:
            found.append("%s: wbem %s, expected %s" % (name, row["wbem"], want["wbem"]))
    return found


def main():
    with open(sys.argv[1], encoding="utf-8") as output:
        lines = output.read().splitlines()
    expected = {}
    for directory in sys.argv[2:]:
        row = expected_row(directory)
        expected[row["name"]] = row
    found = problems(lines, expected)
    for problem in found:
        print("orvad-discover --json: " + problem)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
