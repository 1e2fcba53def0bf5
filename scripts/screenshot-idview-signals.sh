#!/bin/sh
# Takes the README's screenshot of decoded signals in the per-identifier view
# (docs/idview-signals.png); see screenshot-signals.sh.
exec "$(dirname "$0")/screenshot-signals.sh" idview
