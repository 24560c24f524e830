import sys

import childproc

# The modules under test come from the build folder (or an installed wheel when TW_MODULE_DIR is
# empty), the agent package from the stand-in.
sys.path[:0] = childproc.import_paths()
