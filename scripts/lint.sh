#!/usr/bin/env bash
# Checks the C and C++ formatting against .clang-format, runs clang-tidy with
# .clang-tidy on src/ (the Python extension's C with src/python/.clang-tidy),
# runs ShellCheck on the shell scripts and pmccabe on the programs, whose
# functions stay at a complexity of 15 or less; any difference or finding
# fails.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-packages.sh cmake ninja-build g++ clang-format clang-tidy shellcheck pmccabe \
  unifdef

echo "== clang-format"
folders=()
for folder in src tests fuzz bench examples; do
  [ -d "$folder" ] && folders+=("$folder")
done
mapfile -t files < <(find "${folders[@]}" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) |
  sort)
clang-format --dry-run -Werror "${files[@]}"
echo "${#files[@]} files formatted as .clang-format says"

echo "== clang-tidy"
# A configure step alone gives compile_commands.json: no build is needed.
build=build/lint
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVIX_BUILD_TESTS=OFF \
  -DTARVIX_INSTALL=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
mapfile -t sources < <(find src -type f -name '*.cpp' | sort)
# The Python extension's C, where the build has it (a python3 with headers).
if grep -q '/src/python/_tarvix/module\.c' "$build/compile_commands.json"; then
  mapfile -t -O "${#sources[@]}" sources < <(find src/python -type f -name '*.c' | sort)
fi
# clang-tidy counts the warnings it suppressed in system headers; drop that.
if ! printf '%s\0' "${sources[@]}" | xargs -0 -n 1 -P 2 clang-tidy -p "$build" --quiet 2>&1 |
  { grep -v '^[0-9]* warnings\? generated\.$' || true; }; then
  echo "lint: clang-tidy has findings" >&2
  exit 1
fi
echo "${#sources[@]} files without a clang-tidy finding"

echo "== shellcheck"
mapfile -t scripts < <(find scripts tests bench cmake -type f -name '*.sh' | sort)
scripts+=(.ci/run)
shellcheck -x "${scripts[@]}"
echo "${#scripts[@]} scripts without a shellcheck finding"

echo "== pmccabe"
# pmccabe reads C, and no preprocessor: each platform's view of the programs
# is measured (unifdef keeps one side of each _WIN32 test), in a copy whose
# C++ pmccabe would lose its way in (a nested namespace name, noexcept, an
# attribute) is put as C.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mapfile -t programs < <(find src/programs -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
for view in -U_WIN32 -D_WIN32; do
  for file in "${programs[@]}"; do
    mkdir -p "$work/$view/$(dirname "$file")"
    # unifdef exits with 1 when it changed the file.
    { unifdef "$view" "$file" || [ $? -eq 1 ]; } |
      sed -E 's/^namespace ([a-z_]+)::([a-z_]+) \{/namespace \1_\2 {/; s/\bnoexcept\b//g;
        s/\[\[[a-z_]+\]\]//g' >"$work/$view/$file"
  done
  (cd "$work/$view" && pmccabe "${programs[@]}") >>"$work/measures" 2>>"$work/unread"
done
if [ -s "$work/unread" ]; then
  cat "$work/unread"
  echo "lint: pmccabe cannot read the programs" >&2
  exit 1
fi
# Both measures, the one that counts a switch once and the one that counts
# each case, at most 15.
complex=$(awk '$1 > 15 || $2 > 15' "$work/measures" | sort -u)
if [ -n "$complex" ]; then
  echo "$complex"
  echo "lint: functions of the programs above complexity 15" >&2
  exit 1
fi
echo "$(sort -u "$work/measures" | wc -l) functions of the programs, none above complexity 15"
