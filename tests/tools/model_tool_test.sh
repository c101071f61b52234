#!/usr/bin/env bash
# Drives tarnwick-model.jar through its command line, as a mod developer runs
# it: java -jar tarnwick-model.jar ...
# Usage: model_tool_test.sh GROUP JAVA JAR BUILD_KEY
#   GROUP cli      round trips, --key, refusals, exit codes (the tool alone)
#   GROUP openssl  cross-checks against the openssl command; exits 77 (skip)
#                  when that command is not installed
#   GROUP users    the modes of the files it writes, run as the unprivileged
#                  user tarnwick-player under umask 022 and 077, and a file of
#                  the user tarnwick-other's it must leave alone; exits 77
#                  (skip) when not run as root, who alone can switch users
set -uo pipefail
group=$1 java=$2 jar=$3 key=$4
tool=("$java" -jar "$jar")
other_key=000102030405060708090a0b0c0d0e0f
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# After lib.sh, whose fail would end the script at the first failure: this
# one counts them.
. "$(dirname "$0")/../../scripts/lib.sh"
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# run STATUS ARGS...: runs the tool, expecting exit STATUS; its output is in
# $work/out and $work/err.
run() {
  local expected=$1
  shift
  local status=0
  "${tool[@]}" "$@" >"$work/out" 2>"$work/err" || status=$?
  if [[ $status -ne $expected ]]; then
    fail "tarnwick-model $* exited $status, expected $expected; stderr: $(cat "$work/err")"
    return 1
  fi
}
err_has() {
  grep -qF -- "$1" "$work/err" || fail "stderr lacks '$1': $(cat "$work/err")"
}
stdout_empty() {
  [[ ! -s $work/out ]] || fail "$1: standard output is not empty: $(head -c 200 "$work/out")"
}
same() {
  cmp -s "$1" "$2" || fail "$3: $1 and $2 differ"
}

# The sample texts, none holding a zero byte.
texts=$work/texts
mkdir -p "$texts"
printf '{}' >"$texts/small"
printf 'abcdefghijklmno' >"$texts/len15"
printf '0123456789abcdef' >"$texts/len16"
printf '{"a":[1,2,3,4,5],"b":"01234567"}' >"$texts/len32"
: >"$texts/empty"
printf '{"name":"Zo\xc3\xab \xe2\x9c\x93 \xf0\x9f\x98\x80","v":1}' >"$texts/utf8"
printf 'ends in a marker\x80' >"$texts/marker_last"     # 17 bytes, last one 0x80
printf 'fifteen bytes \x80' >"$texts/marker_fills"       # 15 bytes: 0x80 0x80 fills the block
all_bytes=""
for b in $(seq 1 255); do all_bytes+=$(printf '\\x%02x' "$b"); done
printf "$all_bytes" >"$texts/all_bytes"
# 100000 bytes from 1 to 255, the same on every run (an exact integer LCG).
LC_ALL=C awk 'BEGIN { x = 1; for (i = 0; i < 100000; i++) {
  x = (x * 75 + 74) % 65537; printf "%c", 1 + x % 255 } }' >"$texts/mixed"

# padded TEXT OUT: the text, 0x80, zeros up to a whole block.
padded() {
  local size
  size=$(stat -c %s "$1")
  { cat "$1"; printf '\x80'; head -c $((15 - size % 16)) /dev/zero; } >"$2"
}

cli_tests() {
  local t text size

  # Round trips under the build's key: to a file and to standard output.
  for text in "$texts"/*; do
    t=$(basename "$text")
    run 0 seal "$text" "$work/$t.enc" || continue
    size=$(stat -c %s "$text")
    [[ $(stat -c %s "$work/$t.enc") -eq $(((size / 16 + 1) * 16)) ]] ||
      fail "$t: sealed size $(stat -c %s "$work/$t.enc") for a $size-byte text"
    run 0 open "$work/$t.enc" "$work/$t.out" && same "$text" "$work/$t.out" "$t round trip"
    [[ -s $work/out ]] && fail "$t: open with OUT wrote to standard output"
    run 0 open "$work/$t.enc" && same "$text" "$work/out" "$t round trip to stdout"
    [[ -s $work/err ]] && fail "$t: unexpected message: $(cat "$work/err")"
  done

  # The build key given explicitly seals the same bytes as the default: the
  # tool's default key is the one CMake configured.
  run 0 seal "$texts/utf8" "$work/explicit.enc" --key "$key"
  same "$work/utf8.enc" "$work/explicit.enc" "default key against --key $key"

  # Another key: round trip, and the build key then finds no marker.
  run 0 seal --key "$other_key" "$texts/utf8" "$work/other.enc"
  cmp -s "$work/utf8.enc" "$work/other.enc" && fail "--key $other_key sealed as the build key"
  run 0 open "$work/other.enc" "$work/other.out" "--key=${other_key^^}" &&
    same "$texts/utf8" "$work/other.out" "--key round trip"
  rm -f "$work/other.out"
  run 1 open "$work/other.enc" "$work/other.out"
  err_has "$work/other.enc: padding error"
  [[ -e $work/other.out ]] && fail "a failed open created its output file"
  run 1 open "$work/other.enc"
  stdout_empty "padding error"
  run 1 open "$work/utf8.enc" --key "$other_key"
  err_has "padding error"

  # A damaged last block is a padding error too.
  cp "$work/len32.enc" "$work/damaged.enc"
  printf '\x55' | dd of="$work/damaged.enc" bs=1 seek=40 conv=notrunc status=none
  run 1 open "$work/damaged.enc"
  err_has "padding error"
  stdout_empty "damaged file"

  # Damage to an inner block goes undetected: byte 3 of block 5 garbles that
  # block's text only (up to 16 bytes, fewer if it decrypts to a zero byte).
  local out_size
  cp "$work/all_bytes.enc" "$work/inner_damage.enc"
  printf '\x55' | dd of="$work/inner_damage.enc" bs=1 seek=83 conv=notrunc status=none
  run 0 open "$work/inner_damage.enc" "$work/inner_damage.out"
  out_size=$(stat -c %s "$work/inner_damage.out")
  ((out_size >= 255 - 16 && out_size <= 255)) || fail "inner damage: $out_size bytes out"
  cmp -s <(head -c 80 "$texts/all_bytes") <(head -c 80 "$work/inner_damage.out") ||
    fail "inner damage changed the blocks before it"
  cmp -s <(tail -c 159 "$texts/all_bytes") <(tail -c 159 "$work/inner_damage.out") ||
    fail "inner damage changed the blocks after it"
  cmp -s "$texts/all_bytes" "$work/inner_damage.out" && fail "inner damage left the text intact"

  # Zero bytes are refused, naming the file and the offset; nothing is written.
  printf 'abcde\0fgh' >"$work/zero5.json"
  run 1 seal "$work/zero5.json" "$work/zero5.enc"
  err_has "$work/zero5.json: zero byte at offset 5"
  [[ -e $work/zero5.enc ]] && fail "a refused seal wrote its output"
  printf '\0' >"$work/zero0.json"
  run 1 seal "$work/zero0.json" "$work/zero0.enc"
  err_has "zero byte at offset 0"

  # Lengths that are not whole blocks, and an empty file.
  head -c 31 "$work/len32.enc" >"$work/short.enc"
  run 1 open "$work/short.enc"
  err_has "$work/short.enc: length 31 is not a multiple of 16"
  stdout_empty "short file"
  { cat "$work/small.enc"; printf 'x'; } >"$work/long.enc"
  run 1 open "$work/long.enc"
  err_has "length 17 is not a multiple of 16"
  : >"$work/empty.enc"
  run 1 open "$work/empty.enc"
  err_has "$work/empty.enc: empty file"

  # Files that cannot be read or written.
  run 3 seal "$work/missing.json" "$work/x.enc"
  err_has "$work/missing.json: cannot open"
  run 3 open "$work/missing.enc"
  err_has "$work/missing.enc: cannot open"
  run 3 seal "$texts/small" "$work/no/such/dir/x.enc"
  err_has "$work/no/such/dir/x.enc: cannot create"
  run 3 open "$work"
  err_has "$work: cannot read"
  # A failed write (here the final flush, on a full device) is exit 3 and
  # removes nothing it did not create: not the device, not an existing file,
  # and no temporary file is left beside it.
  if [[ -w /dev/full ]]; then
    run 3 seal "$texts/small" /dev/full && err_has "/dev/full: cannot write"
    [[ -c /dev/full ]] || fail "a failed write removed /dev/full"
    status=0
    "${tool[@]}" open "$work/small.enc" >/dev/full 2>"$work/err" || status=$?
    [[ $status -eq 3 ]] || fail "open to a full standard output exited $status, expected 3"
  fi
  mkfifo "$work/pipe"
  cat "$work/pipe" >"$work/piped" &
  run 0 seal "$texts/small" "$work/pipe"
  wait
  same "$work/small.enc" "$work/piped" "sealing into a pipe"
  [[ -p $work/pipe ]] || fail "sealing into a pipe replaced the pipe"
  mkdir "$work/outdir"
  run 3 seal "$texts/small" "$work/outdir"
  [[ -d $work/outdir ]] || fail "a failed write removed the directory it was given"
  cp "$work/len32.enc" "$work/kept.enc" && chmod 640 "$work/kept.enc"
  run 0 seal "$texts/small" "$work/kept.enc" && same "$work/small.enc" "$work/kept.enc" "overwrite"
  [[ $(stat -c %a "$work/kept.enc") == 640 ]] || fail "overwriting changed the file's mode"
  [[ -z $(find "$work" -maxdepth 1 -name '*.??????') ]] || fail "temporary files left behind"

  # Usage errors.
  run 2
  run 2 pack "$texts/small" "$work/x.enc"
  err_has "unknown command 'pack'"
  run 2 seal "$texts/small"
  run 2 seal "$texts/small" "$work/a" "$work/b"
  run 2 open "$work/small.enc" "$work/a" "$work/b"
  run 2 open "$work/small.enc" --key 0123
  err_has "--key needs 32 hex digits"
  run 2 open "$work/small.enc" --key "${key}00"
  err_has "got 34 characters"
  run 2 open "$work/small.enc" --key 000102030405060708090a0b0c0d0e0g
  run 2 open "$work/small.enc" --key
  run 2 open "$work/small.enc" --verbose
  err_has "unknown option '--verbose'"
  stdout_empty "usage error"

  # A text the heap cannot hold is exit 3 with a message, not a stack trace,
  # and nothing is written.
  head -c $((64 << 20)) /dev/zero | tr '\0' a >"$work/big.json"
  status=0
  "$java" -Xmx32m -jar "$jar" seal "$work/big.json" "$work/big.enc" >"$work/out" 2>"$work/err" || status=$?
  [[ $status -eq 3 ]] || fail "sealing 64 MiB in a 32 MiB heap exited $status, expected 3"
  err_has "not enough memory"
  grep -q 'at tarnwick\.' "$work/err" && fail "a stack trace on standard error: $(cat "$work/err")"
  [[ -e $work/big.enc ]] && fail "sealing without memory wrote its output"
  rm -f "$work/big.json"

  # A jar without its key (a packing fault) seals nothing by default, and
  # says so; --key still works.
  cp "$jar" "$work/keyless.jar"
  zip -q -d "$work/keyless.jar" tarnwick/tools/model.key
  local with_key=("${tool[@]}")
  tool=("$java" -jar "$work/keyless.jar")
  run 2 seal "$texts/small" "$work/keyless.enc"
  err_has "carries no model key"
  [[ -e $work/keyless.enc ]] && fail "a jar without a key wrote its output"
  run 0 seal "$texts/small" "$work/keyless.enc" --key "$key" && same "$work/small.enc" "$work/keyless.enc" "keyless jar with --key"
  tool=("${with_key[@]}")

  run 0 --help
  grep -q "seal IN.json OUT.enc" "$work/out" || fail "--help does not show the seal usage"
  grep -q "development key" "$work/out" ||
    [[ $key != 7461726e7769636b2d6465762d6b6579 ]] || fail "--help does not name the dev key"
}

openssl_tests() {
  if ! command -v openssl >/dev/null; then
    echo "openssl is not installed: skipping the cross-checks"
    exit 77
  fi
  local t text

  # What the tool seals, openssl decrypts to the padded text; what openssl
  # encrypts, the tool opens.
  for text in "$texts"/*; do
    t=$(basename "$text")
    padded "$text" "$work/$t.padded"
    run 0 seal "$text" "$work/$t.enc" || continue
    openssl enc -d -aes-128-ecb -K "$key" -nopad -in "$work/$t.enc" -out "$work/$t.dec" ||
      fail "$t: openssl could not decrypt"
    same "$work/$t.padded" "$work/$t.dec" "$t: openssl decryption"

    openssl enc -e -aes-128-ecb -K "$key" -nopad -in "$work/$t.padded" -out "$work/$t.ossl"
    same "$work/$t.enc" "$work/$t.ossl" "$t: openssl encryption"
  done
  run 0 seal "$texts/len32" "$work/other.enc" --key "$other_key"
  openssl enc -d -aes-128-ecb -K "$other_key" -nopad -in "$work/other.enc" -out "$work/other.dec"
  same "$work/len32.padded" "$work/other.dec" "--key sealing, openssl decryption"

  # seal_blocks NAME KEY: encrypts $work/NAME.blocks into $work/NAME.enc.
  seal_blocks() {
    openssl enc -e -aes-128-ecb -K "$2" -nopad -in "$work/$1.blocks" -out "$work/$1.enc"
  }

  # A last block whose final non-zero byte is 0x81: a padding error, and the
  # library's own padding line must not reach standard output.
  printf 'first-block-ok!!lost\x81\0\0\0\0\0\0\0\0\0\0\0' >"$work/bad.blocks"
  seal_blocks bad "$key"
  run 1 open "$work/bad.enc"
  err_has "$work/bad.enc: padding error"
  stdout_empty "bad marker"
  # A 0x80 that is not the last non-zero byte is no marker either.
  printf 'x\x80y\0\0\0\0\0\0\0\0\0\0\0\0\0' >"$work/early.blocks"
  seal_blocks early "$key"
  run 1 open "$work/early.enc"
  err_has "padding error"

  # A last block that decrypts to zeros only holds no marker: a padding
  # error, in a file of one block and after inner blocks.
  head -c 16 /dev/zero >"$work/zeros1.blocks"
  { printf 'first-block-ok!!second-block-ok!'; head -c 16 /dev/zero; } >"$work/zeros3.blocks"
  for t in zeros1 zeros3; do
    seal_blocks "$t" "$key"
    run 1 open "$work/$t.enc" && err_has "$work/$t.enc: padding error"
    stdout_empty "a last block of zeros ($t)"
  done

  # The first and last byte of an inner block and of the last block's text:
  # a zero in the last byte of an inner block drops nothing but itself.
  printf '0123456789abcde\0\0bcdefghijklmnopABCDEFGHIJKLMNOPz\x80\0\0\0\0\0\0\0\0\0\0\0\0\0\0' >"$work/edges.blocks"
  seal_blocks edges "$key"
  run 0 open "$work/edges.enc"
  err_has "$work/edges.enc: warning: zero byte at offset 15 "
  [[ $(cat "$work/out") == 0123456789abcdeABCDEFGHIJKLMNOPz ]] || fail "block edges: opened to '$(cat "$work/out")'"
  printf 'ABCDEFGHIJKLMNOP\0bcdefghijklmno\x80' >"$work/last_first.blocks"
  printf 'ABCDEFGHIJKLMNOPabcdefghijklmn\0\x80' >"$work/last_last.blocks"
  for t in last_first:16 last_last:30; do
    seal_blocks "${t%:*}" "$key"
    run 0 open "$work/${t%:*}.enc" "$work/${t%:*}.out"
    err_has "warning: zero byte at offset ${t#*:} "
    [[ $(stat -c %s "$work/${t%:*}.out") == 31 ]] || fail "${t%:*}: $(stat -c %s "$work/${t%:*}.out") bytes out, not 31"
  done

  # Zero bytes in the decrypted text: the first one reported with its offset
  # in the text written (two blocks hold zeros here), and the text comes out
  # as the library decodes it, under the build key and under another key alike.
  printf 'ab\0xy\0\0\0\0\0\0\0\0\0\0\0XY\0\0\0\0\0\0\0\0\0\0\0\0\0\0' >"$work/inner.blocks"
  printf 'cdefghijklmnopqrs\x80\0\0\0\0\0\0\0\0\0\0\0\0\0\0' >>"$work/inner.blocks"
  printf 'tu\0v\x80\0\0\0\0\0\0\0\0\0\0\0' >"$work/last.blocks"
  for k in "$key" "$other_key"; do
    seal_blocks inner "$k"
    run 0 open "$work/inner.enc" --key "$k"
    err_has "$work/inner.enc: warning: zero byte at offset 2 "
    [[ $(cat "$work/out") == abXYcdefghijklmnopqrs ]] ||
      fail "inner zero byte, key $k: opened to '$(cat "$work/out")'"
    seal_blocks last "$k"
    run 0 open "$work/last.enc" "$work/last.out" --key "$k"
    err_has "warning: zero byte at offset 2"
    printf 'tu\0v' | cmp -s - "$work/last.out" || fail "last-block zero byte, key $k"
  done
}

users_tests() {
  if (( $(id -u) != 0 )); then
    echo "not root: cannot run the tool as another user; skipping the mode checks"
    exit 77
  fi
  ensure_test_users
  local player=$TARNWICK_PLAYER other=$TARNWICK_OTHER shared mode

  # What the users run must be readable by them: the jar and a text go into a
  # directory under /tmp, with a directory of the player's own to write in.
  shared=$(mktemp -d /tmp/tarnwick-model-users.XXXXXX)
  trap 'rm -rf "$work" "$shared"' EXIT
  chmod 755 "$shared"
  cp "$jar" "$shared/tarnwick-model.jar"
  cp "$texts/utf8" "$shared/text.json"
  chmod 644 "$shared/tarnwick-model.jar" "$shared/text.json"
  mkdir "$shared/player"
  chown "$player:" "$shared/player"
  # as_player UMASK ARGS...: the tool as the player, under UMASK, in $shared/player.
  as_player() {
    local mask=$1
    shift
    as_user "$player" sh -c 'cd "$1" && umask "$2" && shift 2 && exec "$@"' sh \
      "$shared/player" "$mask" "$java" -jar "$shared/tarnwick-model.jar" "$@" \
      >"$work/out" 2>"$work/err"
  }
  mode_is() {  # FILE MODE OWNER WHAT
    [[ $(stat -c '%a %U' "$1") == "$2 $3" ]] || fail "$4: $(stat -c '%a %U' "$1"), expected $2 $3"
  }

  # A new file gets 0666 less the umask, as any file the user makes.
  for mode in 022:644 077:600 027:640; do
    as_player "${mode%%:*}" seal ../text.json "new-${mode%%:*}.enc" ||
      fail "seal as $player under umask ${mode%%:*}: $(cat "$work/err")"
    mode_is "$shared/player/new-${mode%%:*}.enc" "${mode#*:}" "$player" "a sealed file under umask ${mode%%:*}"
  done
  as_player 077 open new-022.enc opened.json || fail "open as $player: $(cat "$work/err")"
  mode_is "$shared/player/opened.json" 600 "$player" "an opened text under umask 077"
  same "$texts/utf8" "$shared/player/opened.json" "the player's round trip"

  # An overwritten file keeps its mode, whatever the umask: neither the
  # umask's 600 nor its 644 replaces it.
  as_user "$player" sh -c 'umask 022 && printf old >"$1" && chmod 640 "$1"' sh "$shared/player/kept.enc"
  as_player 077 seal ../text.json kept.enc || fail "overwriting as $player: $(cat "$work/err")"
  mode_is "$shared/player/kept.enc" 640 "$player" "an overwritten file under umask 077"
  same "$shared/player/new-022.enc" "$shared/player/kept.enc" "the overwritten file's contents"
  as_user "$player" chmod 600 "$shared/player/kept.enc"
  as_player 022 seal ../text.json kept.enc || fail "overwriting as $player: $(cat "$work/err")"
  mode_is "$shared/player/kept.enc" 600 "$player" "an overwritten file under umask 022"

  # The other user's file in a directory both may write to, with the sticky
  # bit as /tmp has it: the player cannot replace it, and the tool says so,
  # leaves it as it was and leaves no temporary file there.
  mkdir "$shared/sticky"
  chmod 1777 "$shared/sticky"
  as_user "$other" sh -c 'umask 022 && printf theirs >"$1"' sh "$shared/sticky/theirs.enc"
  as_player 022 seal ../text.json ../sticky/theirs.enc
  status=$?
  [[ $status -eq 3 ]] || fail "sealing over $other's file in a sticky directory exited $status, expected 3"
  err_has "../sticky/theirs.enc: cannot write"
  [[ $(cat "$shared/sticky/theirs.enc") == theirs ]] || fail "the tool changed $other's file"
  mode_is "$shared/sticky/theirs.enc" 644 "$other" "$other's file"
  [[ $(ls -A "$shared/sticky") == theirs.enc ]] || fail "left behind in the sticky directory: $(ls -A "$shared/sticky")"
  [[ -z $(find "$shared/player" -name '*.??????') ]] || fail "temporary files left behind"
}

case $group in
  cli) cli_tests ;;
  openssl) openssl_tests ;;
  users) users_tests ;;
  *)
    echo "unknown group $group" >&2
    exit 2
    ;;
esac

if ((failures > 0)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all $group checks passed"
