#!/usr/bin/env bash
# The README's demo command; the demo lives in demo/ (see demo/run-demo.sh --help).
exec "$(dirname "$0")/../demo/run-demo.sh" "$@"
