import gc
import sys

from .cli import main

status = main()
# Everything is closed by now.  Without this, the final collection over the
# objects of the MCP SDK, pydantic and Starlette takes about a second of a
# busy machine's time, after the tool servers are gone and before the
# process can report that it has stopped.
gc.freeze()
sys.exit(status)
