#!/bin/sh
# The test command of the mutation census (DEVELOPING.md): run in a
# scratch clone in which the mutation tool has changed one line of src/ and
# rebuilt BUILD. It fails as soon as one test fails. The cheap tests run
# first, then the hostile cases side by side; the suites that only some code
# reaches run only for a fault in that code: the link suite (which waits on
# the kernel's keep-alive and retransmission timers) for the keep-alive
# setting and the socket link, the installation suite for finding and
# starting an installed viewer.
# A stage that runs past its time (a planted fault that makes something
# wait for ever) fails, its processes killed: `timeout` signals its whole
# process group, the tests included (the tests' own TIMEOUT properties are
# minutes long, for the slow machines of CI).
#   scripts/mutation-tests.sh [BUILD]    (default: build)
set -u
build=${1:-build}
t="ctest --test-dir ${build} --stop-on-failure --output-on-failure"
changed=$(git diff --name-only -- src)
timeout -s KILL 30 ${t} -j2 -L quick -LE hostile || exit 1
timeout -s KILL 60 ${t} -j4 -L hostile || exit 1
case ${changed} in
  *keepalive_setting*|*socket_link*) timeout -s KILL 120 ${t} -L link || exit 1 ;;
  *launch_call*|*src/install/*) timeout -s KILL 120 ${t} -L install || exit 1 ;;
esac
exit 0
