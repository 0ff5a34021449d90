#!/usr/bin/env bash
# Installs a built holm tree into a temporary prefix, builds the example
# plugins as a separate project against the installed SDK package with a
# plugin author's own key, enrols that key, and runs the plugins through the
# installed host. Usage: installed_sdk_test.sh BUILD-DIR SOURCE-DIR [GENERATOR]
set -euo pipefail
build="$(cd "$1" && pwd)"
source="$(cd "$2" && pwd)"
generator="${3:-Ninja}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
fail() { echo "installed SDK: $*" >&2; exit 1; }

echo "== install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install failed"; }
product="$prefix/lib/holm"
for file in avholm holm-ctl libholmcore.so holm-sign CommonTextRc.dll holmmsg.dll plugins.xml \
            plugins/libdemo_service.so data/holm.conf; do
  [ -f "$product/$file" ] || fail "$product/$file is missing"
done
for file in include/hlmplg/hlmplg.h lib/cmake/HlmPlg/HlmPlgConfig.cmake \
            lib/cmake/HlmPlg/HlmPlgFunctions.cmake lib/systemd/system/avholm.service \
            lib/systemd/catalog/avholm.catalog share/bash-completion/completions/holm-ctl; do
  [ -f "$prefix/$file" ] || fail "$prefix/$file is missing"
done
if find "$prefix" -name '*.key' | grep -q .; then fail "a private key was installed"; fi
[ ! -e "$product/run" ] || fail "the build tree's run-time directory was installed"
[ -d "$product/data/LOGFILES" ] || fail "the report log folder is missing"

echo "== the installed product files keep their signatures"
signed=()
while IFS= read -r -d '' sig; do signed+=("${sig%.sig}"); done \
  < <(find "$product" -name '*.sig' -print0)
"$product/holm-sign" verify --product "${signed[@]}" >"$work/verify.log" \
  || { cat "$work/verify.log"; fail "an installed file no longer verifies"; }

echo "== the installed host runs the installed example list"
export HOLM_DATA_DIR="$work/data" HOLM_RUNTIME_DIR="$work/run"
mkdir -p "$HOLM_DATA_DIR" "$HOLM_RUNTIME_DIR"
"$product/avholm" --run-for 0 "$product/plugins.xml" /test=demo=installed >"$work/product-run.log" 2>&1 \
  || { cat "$work/product-run.log"; fail "the installed host failed on its own list"; }
grep -qF "PM(demo): test(installed) = true" "$work/product-run.log" \
  || { cat "$work/product-run.log"; fail "the installed demo plugin did not run"; }

echo "== a plugin author builds the examples against the installed SDK"
mkdir -m 0700 "$work/author"
"$product/holm-sign" keygen --out "$work/author/author" >/dev/null
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$source/examples" -B "$work/examples" -G "$generator" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_PREFIX_PATH="$prefix" -DHLMPLG_SIGNING_KEY="$work/author/author.key" \
      "${launcher[@]}" >"$work/configure.log" 2>&1 \
  || { cat "$work/configure.log"; fail "configuring the examples failed"; }
cmake --build "$work/examples" -j 2 >"$work/build.log" 2>&1 \
  || { cat "$work/build.log"; fail "building the examples failed"; }

echo "== unenrolled, the author's plugins are refused"
list="@XMLFILE:name=demo;file=$work/examples/libdemo_service.so;params=|name=async;file=$work/examples/libdemo_async.so;params="
export HOLM_TRUSTED_KEYS_DIR="$work/trusted"
mkdir -m 0755 "$HOLM_TRUSTED_KEYS_DIR"
"$product/avholm" --run-for 0 "$list" /test=demo=author >"$work/refused.log" 2>&1 || true
grep -q "untrusted key" "$work/refused.log" \
  || { cat "$work/refused.log"; fail "an unenrolled key was not refused"; }

echo "== enrolled, they run through the installed host"
install -m 0644 "$work/author/author.pub" "$HOLM_TRUSTED_KEYS_DIR/"
"$product/avholm" --run-for 0 "$list" /test=demo=author >"$work/author-run.log" 2>&1 \
  || { cat "$work/author-run.log"; fail "the installed host failed on the author's plugins"; }
for line in "PM(demo): test(author) = true" "PM(async): calling Start() ... done"; do
  grep -qF "$line" "$work/author-run.log" \
    || { cat "$work/author-run.log"; fail "missing line: $line"; }
done
echo "installed SDK: passed"
