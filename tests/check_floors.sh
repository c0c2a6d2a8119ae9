#!/usr/bin/env bash
# Every include points down: lists which folders each folder of the program
# may include from, and fails on any #include "..." of a folder outside its
# list. A file's include of a header beside it ("command_line.h") stays in its
# own folder. link/ includes no Qt header at all.
#
# check_floors.sh SOURCE_DIR
set -uo pipefail
cd "$1" || exit 2

# folder: the folders its files may include from (its own first)
floors=(
    "link: link"
    "word: word link"
    "panel: panel word link"
    "panel/window: panel/window panel instrument word link sysinfo"
    "instrument: instrument word link"
    "sysinfo: sysinfo"
    "app: app instrument panel/window panel word link sysinfo"
)

# floor_of PATH: the floor PATH belongs to, the deepest folder listed above,
# into $floor.
floor_of() {
    local entry folder
    floor=""
    for entry in "${floors[@]}"; do
        folder=${entry%%:*}
        if [[ $1 == "$folder"/* && ${#folder} -gt ${#floor} ]]; then floor=$folder; fi
    done
}
include='^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)"'

failed=0
for entry in "${floors[@]}"; do
    folder=${entry%%:*}
    allowed=" ${entry#*: } "
    echo "$folder/ may include: ${entry#*: }"
    while IFS= read -r file; do
        floor_of "$file"
        [ "$floor" = "$folder" ] || continue
        while IFS= read -r line; do
            [[ $line =~ $include ]] || continue
            header=${BASH_REMATCH[1]}
            target=$folder
            if [[ $header == */* ]]; then
                floor_of "$header"
                target=$floor
            fi
            if [[ -z $target || $allowed != *" $target "* ]]; then
                echo "  $file: #include \"$header\" reaches ${target:-a folder outside the program} from $folder/"
                failed=1
            fi
        done <"$file"
        if [ "$folder" = link ] && grep -qE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q' "$file"; then
            echo "  $file: link/ includes a Qt header"
            failed=1
        fi
    done < <(find "$folder" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
done
[ $failed = 0 ] && echo "every include points down"
exit $failed
