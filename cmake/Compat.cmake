# strlcpy is in glibc only from 2.38 on; older C libraries get our copy (compat/).
include(CheckSymbolExists)
check_symbol_exists(strlcpy "string.h" ORVAD_HAVE_STRLCPY)
