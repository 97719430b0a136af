#!/usr/bin/env bash
# The layers as the includes make them: codec -> poll -> serial -> network -> acquisition
# -> ui -> translations -> apps, each folder including only from itself and the folders
# before it, so no include runs back up and no two folders need each other.
# And as the build links them: pollcli has no widgets, and the poll library
# (its own link libraries, and its sources' includes) no serial port.
#   layers_test.sh SOURCE_DIR POLLCLI "POLL'S LINK LIBRARIES"
set -uo pipefail
source=$1 pollcli=$2 poll_links=$3
layers=(codec poll serial network acquisition ui translations apps)
failed=0
rank() { local i; for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }; done; echo -1; }
for layer in "${layers[@]}"; do
    mine=$(rank "$layer")
    while IFS=: read -r file line included; do
        # apps/ includes its own programs' folders by name ("bytepoll/bytepoll.h").
        top=${included%%/*}
        theirs=$(rank "$top")
        [ "$theirs" -lt 0 ] && continue
        if [ "$theirs" -gt "$mine" ]; then
            echo "FAIL $file:$line includes $included: $layer may not reach up to $top" >&2
            failed=1
        fi
    done < <(cd "$source" && grep -rnoE '^#include "[^"]+"' "$layer" --include='*.cpp' --include='*.h' |
             sed 's/#include "\(.*\)"/\1/')
done
[ $failed -eq 0 ] && echo "ok   no include runs back up the layers ${layers[*]}"
if ldd "$pollcli" | grep -qE 'libQt6(Widgets|Gui)'; then
    echo "FAIL pollcli links Qt Widgets or Gui" >&2; failed=1
else
    echo "ok   pollcli links no Qt Widgets or Gui"
fi
if [[ $poll_links == *SerialPort* ]] || grep -rqE '#include *<QSerialPort' "$source/codec" "$source/poll"; then
    echo "FAIL the poll library brings Qt Serial Port with it ($poll_links)" >&2; failed=1
else
    echo "ok   the poll library links no Qt Serial Port"
fi
exit $failed
