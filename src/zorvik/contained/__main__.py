"""python3 -m zorvik.contained PARENT CONTROL OUT JOB: the supervisor of one contained run, as the host starts it."""

import sys

from zorvik.contained import supervisor

supervisor.serve(*map(int, sys.argv[1:5]))
