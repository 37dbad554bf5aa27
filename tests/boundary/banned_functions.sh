#!/usr/bin/env bash
# Functions and constructs that have no place in the library's sources.
set -euo pipefail
src=$1
pattern='\b(sprintf|vsprintf|strcpy|strcat|atoi|atol|gets)\s*\(|\bthrow\b|\bnew\s+[A-Za-z_:]+\s*[\(\[{;]|\bdelete\s*(\[\s*\])?\s+[A-Za-z_]'
# Placement new (new (address) T) is how objects are built in memory from the allocator.
hits=$(grep -rnE "$pattern" "$src" --include='*.cpp' --include='*.hpp' | grep -v -E 'new \(' || true)
if [ -n "$hits" ]; then
    echo "banned functions or constructs in src/:"
    echo "$hits"
    exit 1
fi
echo "src/ is clean"
