#!/usr/bin/env bash
# Compiles every ```java block of a Markdown document against CLASSPATH, each
# block on its own, with javac --release 11 and every warning an error.
#   - A block that declares a package or a top-level type is a source file of
#     its own, compiled as it stands.
#   - Any other block is a member fragment (methods, fields): it is compiled
#     inside a class that has the fields the shipped mod's class has (a
#     System.Logger LOG, a boolean loaded and an HttpClient HTTP_CLIENT) and
#     these imports: java.io.*,
#     java.net.http.*, java.nio.file.*, java.util.*, java.util.concurrent.*,
#     java.util.function.*, System.Logger.Level.*, tarnwick.natives.* and
#     vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper.
# Usage: check_doc_java.sh DOCUMENT CLASSPATH
set -euo pipefail
doc=${1:?usage: check_doc_java.sh DOCUMENT CLASSPATH} classpath=${2:?usage: check_doc_java.sh DOCUMENT CLASSPATH}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each block to $work/<n>/block, with the line it starts on in $work/<n>/line.
awk -v out="$work" '
  /^```java[[:space:]]*$/ { n++; inside = 1; system("mkdir -p " out "/" n); print NR + 1 > (out "/" n "/line"); next }
  inside && /^```/ { inside = 0; next }
  inside { print > (out "/" n "/block") }
' "$doc"
blocks=$(find "$work" -mindepth 1 -maxdepth 1 -type d | wc -l)
(( blocks > 0 )) || { echo "FAIL: $doc has no java block" >&2; exit 1; }

failures=0
for (( n = 1; n <= blocks; n++ )); do
  dir=$work/$n line=$(cat "$work/$n/line")
  mkdir -p "$dir/src" "$dir/classes"
  if grep -qE '^package |^((public|final|abstract) )*(class|interface|enum) ' "$dir/block"; then
    type=$(grep -oE '^((public|final|abstract) )*(class|interface|enum) [A-Za-z0-9_]+' "$dir/block" |
      head -n 1 | awk '{print $NF}')
    cp "$dir/block" "$dir/src/$type.java"
    kind="source file $type.java"
  else
    { cat <<'JAVA'
import java.io.*;
import java.net.http.*;
import java.nio.file.*;
import java.util.*;
import java.util.concurrent.*;
import java.util.function.*;
import static java.lang.System.Logger.Level.*;
import tarnwick.natives.*;
import vardel.tarnwick.api.client.online.TarnwickServerConnectionHelper;

@SuppressWarnings("unused")
final class DocFragment {
    private static volatile boolean loaded;
    private static final System.Logger LOG = System.getLogger("tarnwick.doc");
    private static HttpClient HTTP_CLIENT;
JAVA
      cat "$dir/block"
      echo "}"; } >"$dir/src/DocFragment.java"
    kind="fragment"
  fi
  if javac --release 11 -Xlint:all -Werror -encoding UTF-8 -cp "$classpath" -d "$dir/classes" \
      "$dir"/src/*.java >"$dir/log" 2>&1; then
    echo "$doc:$line: java block $n ($kind) compiles"
  else
    echo "FAIL: $doc:$line: java block $n ($kind) does not compile:" >&2
    cat "$dir/log" >&2
    failures=$((failures + 1))
  fi
done
(( failures == 0 )) || exit 1
