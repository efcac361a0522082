/* libkeshstubssl.so: empty on a workstation; it exists so the daemon links exactly as on a switch. */
