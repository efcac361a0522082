#!/usr/bin/python3
# check-discover.py: checks `orvad-discover --json` output against the switches the rig made.
#
# Usage: check-discover.py OUTPUT SWITCH_DIR...
# Each SWITCH_DIR holds switch.state (the values the switch was given) and truth (orvad-show's
# records, "URL ATTRIBUTES"). The expected row of a switch comes from those, not from the
# discovered attributes: name, product, serial and WWN from the state, CIM from its CIMEnable,
# addresses from its interface values (its IPv4 ones, then its IPv6 ones, each in any order),
# WBEM URLs from the truth (in any order). The output must be a "[" line, one object a line with
# the keys in order, commas between them, and a "]" line, its rows sorted by name. Prints the
# difference and exits 1 when there is one.
import difflib
import json
import sys

KEYS = ["name", "product", "serial", "wwn", "cim", "addresses", "wbem"]


def expected_row(directory):
    values = {}
    with open(directory + "/switch.state", encoding="utf-8") as state:
        for line in state:
            if "=" in line and not line.lstrip().startswith(("#", "!")):
                name, value = line.rstrip("\n").split("=", 1)
                values[name.strip()] = value[1:] if value.startswith(" ") else value
    with open(directory + "/truth", encoding="utf-8") as truth:
        urls = [line.split(" ", 1)[0] for line in truth]
    cim = values.get("Config.Services.CIMEnable") == "True"
    ipv4 = [values["Config.System.Eth.%d.IPAddress" % eth] for eth in (0, 1)]
    ipv6 = [a for eth in (0, 1) for a in values["Oper.System.Eth.%d.IPv6AddressList" % eth].split(",") if a]
    return [values["Config.Switch.SymName"], values["Default.Mfg.ProductID"], values["Config.Mfg.ChassisSerialNum"],
            values["Oper.Switch.WWN"].upper() if cim else None, cim, [sorted(ipv4), sorted(ipv6)],
            sorted(url for url in urls if url.startswith("service:wbem:"))]


# The rows in OUTPUT's order, as expected_row makes them; IPV4_COUNT: name -> its IPv4 addresses.
def found_rows(lines, ipv4_count):
    if len(lines) < 2 or lines[0] != "[" or lines[-1] != "]":
        raise ValueError("not a '[' line, object lines and a ']' line:\n" + "\n".join(lines[:5]))
    rows = []
    for number, line in enumerate(lines[1:-1], 2):
        try:
            row = json.loads(line[:-1] if line.endswith(",") and number < len(lines) - 1 else line)
        except ValueError as error:
            raise ValueError("line %d is not one JSON object (%s): %s" % (number, error, line))
        if not isinstance(row, dict) or list(row) != KEYS:
            raise ValueError("line %d: not an object with the keys %s: %s" % (number, KEYS, line))
        addresses, count = row["addresses"], ipv4_count.get(row["name"], 0)
        rows.append([row["name"], str(row["product"]), row["serial"], row["wwn"], row["cim"],
                     [sorted(addresses[:count]), sorted(addresses[count:])], sorted(row["wbem"])])
    return rows


def main():
    with open(sys.argv[1], encoding="utf-8") as output:
        lines = output.read().splitlines()
    expected = sorted((expected_row(directory) for directory in sys.argv[2:]), key=lambda row: row[0])
    try:
        found = found_rows(lines, {row[0]: len(row[5][0]) for row in expected})
    except ValueError as error:
        print("orvad-discover --json: %s" % error)
        return 1
    if found == expected:
        return 0
    print("orvad-discover --json, as [name, product, serial, wwn, cim, [IPv4, IPv6], wbem] rows:")
    for line in difflib.unified_diff(list(map(json.dumps, expected)), list(map(json.dumps, found)),
                                     "expected", "found", lineterm=""):
        print(line)
    return 1


if __name__ == "__main__":
    sys.exit(main())
