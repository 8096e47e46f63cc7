#!/bin/sh
# Fails when a module includes a header from a module above it: util/ is the
# base of everything, rtmp/ builds only on util/.
root="${1:-$(dirname "$0")/..}"
status=0
check() {
  folder="$1"
  allowed="$2"
  for file in "$root/$folder"/*.h "$root/$folder"/*.cpp; do
    [ -e "$file" ] || continue
    grep -n '^#include "' "$file" | while IFS= read -r line; do
      header=$(printf '%s' "$line" | sed 's/.*#include "\([^"]*\)".*/\1/')
      top=${header%%/*}
      case " $allowed " in
        *" $top "*) ;;
        *) echo "$folder/$(basename "$file"):${line%%:*}: includes $header"; exit 1 ;;
      esac
    done || status=1
  done
}
check util "util"
check rtmp "util rtmp"
if [ "$status" -ne 0 ]; then
  echo "layering: a lower module includes a higher one"
  exit 1
fi
echo "layering: util/ and rtmp/ include nothing above them"
