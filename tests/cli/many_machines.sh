#!/bin/sh
# The README's recipe for converting an archive on many machines, run here with two local
# workers: GNU parallel runs one ratemill-cli per source of a manifest, each output in the
# source's own folder below out/. The run is killed half-way (kill -9 of parallel and its
# workers), the same command is run again, and then every source has exactly one output, byte
# for byte what a plain ratemill-cli run of it gives, and nothing partial is left.
#   many_machines.sh CLI
set -eu
cli=$1
if ! parallel --version 2>/dev/null | grep -q "GNU parallel"; then
    echo "SKIP: GNU parallel is not installed (Debian package parallel)"
    exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/ratemill-many-XXXXXX")
session=

# kill -9 of every process in a session: parallel and the shell first (no new workers), then the
# workers, which GNU parallel starts in process groups of their own, so that none of them goes on
# and races the second run. Zombies are left to be reaped.
kill_session() {
    kill -9 "-$session" 2>/dev/null || true
    for _ in $(seq 1 100); do
        pkill -9 -s "$session" -r D,R,S,T,t 2>/dev/null || return 0
        sleep 0.05
    done
}
trap '[ -z "$session" ] || kill_session; rm -rf "$work"' EXIT
cd "$work"
XDG_CONFIG_HOME=$work/config
export XDG_CONFIG_HOME

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# An archive of nested folders (one with a blank in its name), a minute of mono each.
i=0
for path in a/one a/two a/deep/three a/deep/four b/five b/six "c d/seven" "c d/eight" \
    e/nine e/ten e/f/eleven e/f/twelve; do
    mkdir -p "archive/$(dirname "$path")"
    i=$((i + 1))
    sox -n -r 44100 -c 1 -b 16 "archive/$path.wav" synth 60 sine $((200 + 50 * i)) gain -3
done
find archive -name '*.wav' | sort >manifest.txt
options="-q -j 1 -Q high --bits 24 -r 48000 -c 1"

# The reference: each source converted on its own by a plain run.
while IFS= read -r source; do
    folder=ref/$(dirname "$source")
    mkdir -p "$folder"
    # shellcheck disable=SC2086
    "$cli" $options -o "$folder" "$source"
done <manifest.txt

# The recipe, as the README gives it (there with ssh logins and a split manifest).
printf '%s\n' "parallel -j 2 --halt never \
'mkdir -p out/{//} && $cli $options --skip-existing -o out/{//} {}' :::: manifest.txt" >recipe.sh

# Killed (parallel and its workers, by their session) once some outputs are complete and
# another is being written.
setsid sh recipe.sh &
session=$!
killed=no
for _ in $(seq 1 3000); do
    complete=$(find out -name '*.wav' ! -name '*.partial.wav' 2>/dev/null | wc -l)
    partial=$(find out -name '*.partial.wav' 2>/dev/null | wc -l)
    if [ "$complete" -ge 3 ] && [ "$partial" -ge 1 ]; then
        kill_session
        killed=yes
        break
    fi
    sleep 0.01
done
wait "$session" 2>/dev/null || true
kill_session
session=
[ "$killed" = yes ] || fail "the run ended before it could be killed half-way"
# A worker may have finished its file between the look and the kill; the run must still be
# far from done.
done_before=$(find out -name '*.wav' ! -name '*.partial.wav' | wc -l)
[ "$done_before" -lt "$(wc -l <manifest.txt)" ] || fail "every output was complete before the kill"

sh recipe.sh || fail "the second run failed"

sources=$(wc -l <manifest.txt)
outputs=$(find out -type f | wc -l)
[ "$outputs" -eq "$sources" ] || fail "$outputs files for $sources sources: $(find out -type f)"
while IFS= read -r source; do
    cmp -s "out/$source" "ref/$source" || fail "out/$source differs from a plain run's output"
done <manifest.txt

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "the many-machines recipe survived kill -9: $sources sources, one output each"
