#!/usr/bin/env bash
# CI stage: the code's layout and clang-tidy's checks. The layout check runs clang-format (the
# settings in .clang-format) over every tracked .cpp and .h file and fails on any file it would
# change; the tidy check runs clang-tidy (the checks in .clang-tidy) over the library's and the
# tool's sources with the default preset's compile database, configuring the preset first where
# the database is missing, and fails on any finding. Each names the files that failed.
#
# usage: bash .ci/lint.sh [--format-only | --tidy-only]   (from anywhere)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
me=lint

check_format=1
check_tidy=1
case ${1:-} in
  "") ;;
  --format-only) check_tidy=0 ;;
  --tidy-only) check_format=0 ;;
  *)
    echo "usage: bash .ci/lint.sh [--format-only | --tidy-only]" >&2
    exit 2
    ;;
esac

failed=0

if ((check_format)); then
  unformatted=0
  while IFS= read -r source; do
    # One warning for each place clang-format would change.
    changes=$(clang-format --dry-run "$source" 2>&1 | grep -c ': warning: ' || true)
    if ((changes > 0)); then
      echo "$me: clang-format would change $source in $changes place(s)"
      unformatted=$((unformatted + 1))
    fi
  done < <(git ls-files '*.cpp' '*.h')
  if ((unformatted > 0)); then
    echo "$me: $unformatted file(s) not formatted; see them with clang-format --dry-run <file>"
    failed=1
  else
    echo "$me: every .cpp and .h file is formatted"
  fi
fi

if ((check_tidy)); then
  database=build/default
  if [ ! -f "$database/compile_commands.json" ]; then
    cmake --preset default >/dev/null
  fi
  # The Win32 file layer is only compiled for Windows, so the database has no command for it.
  mapfile -t sources < <(git ls-files 'resupdate/src/*.cpp' 'src/*.cpp' |
    grep -v '^resupdate/src/file_io_win32\.cpp$')
  logs=$(mktemp -d)
  trap 'rm -rf "$logs"' EXIT
  # Two at a time, each file's findings kept apart in its own log so they do not interleave.
  printf '%s\n' "${sources[@]}" | xargs -P2 -I{} sh -c \
    'clang-tidy --quiet -p "$1" "$2" >"$3/$(echo "$2" | tr / _).log" 2>&1 ||
       touch "$3/$(echo "$2" | tr / _).failed"' sh "$database" {} "$logs"
  unclean=0
  for source in "${sources[@]}"; do
    log=$logs/$(echo "$source" | tr / _)
    if [ -e "$log.failed" ]; then
      echo "$me: clang-tidy found problems in $source:"
      grep -v ' warnings\? generated\.$' "$log.log" || true
      unclean=$((unclean + 1))
    fi
  done
  if ((unclean > 0)); then
    echo "$me: clang-tidy failed on $unclean of ${#sources[@]} file(s)"
    failed=1
  else
    echo "$me: clang-tidy found nothing in ${#sources[@]} file(s)"
  fi
fi

exit "$failed"
