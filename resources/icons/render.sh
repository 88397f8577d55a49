#!/bin/bash
# Re-renders every PNG in this directory from its SVG source.
# The PNGs are committed, so a normal build never needs this.
set -euo pipefail
cd "$(dirname "$0")"

if ! command -v rsvg-convert >/dev/null; then
    source ../../scripts/deps.sh
    corvalen_install_packages librsvg2-bin
fi

render() { # source size output
    rsvg-convert --format=png --width="$2" --height="$2" --output="$3" "$1"
}

# The application icon; below 32 pixels the hand-tuned small drawing replaces the big one.
for size in 128 64 48 32; do
    render corvalen.svg "$size" "corvalen-$size.png"
done
render corvalen-16.svg 16 corvalen-16.png

# Toolbar icons: 16 pixels, and 32 for screens scaled by two.
for name in tool-exit tool-clear tool-help; do
    render "$name.svg" 16 "$name.png"
    render "$name.svg" 32 "$name@2x.png"
done
