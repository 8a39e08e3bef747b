#!/usr/bin/env bash
# Fails when a source file includes a header of a higher layer. The layers,
# lowest first; a folder may include its own layer and any lower one:
#   platform <- fagex <- foundation <- report <- discovery <- net/io <- picker
#     <- net/conn <- engine <- service (the front end)
# tools, bench, fuzz and tests sit on top and may include anything.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(platform fagex foundation report discovery net/io picker net/conn engine service)
folder_of() { # source folder of a layer (fagex lives under include/)
  [[ $1 == fagex ]] && echo include/fagex || echo "$1"
}
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

bad=0
for layer in "${layers[@]}"; do
  folder=$(folder_of "$layer")
  [[ -d $folder ]] || continue
  while IFS=: read -r file line text; do
    target=$(sed -E 's/^#include [<"]([^">]*)[">].*/\1/' <<<"$text")
    for other in "${layers[@]}"; do
      if [[ $target == "$other"/* ]] && ((rank[$other] > rank[$layer])); then
        echo "$file:$line: $layer includes $target, a header of the higher layer $other"
        bad=1
      fi
    done
  done < <(grep -rnE '^#include [<"]' --include='*.h' --include='*.cpp' "$folder" || true)
done
((bad == 0)) && echo "layers: every include points down"
exit "$bad"
