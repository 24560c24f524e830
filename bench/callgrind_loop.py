"""A fixed loop of calls for callgrind: run with n = 0 and n = N, the difference over N is the
instruction count of one call (interpreter loop included, the same for every function)."""

import sys

import _twfloor
import _twheadercheck

which, count = sys.argv[1], int(sys.argv[2])
_twheadercheck.cleanup()
_twheadercheck.init_header_check([f"svc{i}.internal.example" for i in range(15)] + ["api.example.com"])
url = "https://api.example.org/v1/orders?id=42&page=3"
function = getattr(_twfloor, which, None) or getattr(_twheadercheck, which)
for _ in range(count):
    function(url)
