#!/usr/bin/env bash
# Fails when the sources, tests or docs point at an outside document instead of
# saying what the behaviour is and why: "the contract", an outside document by
# name, its numbered or capitalised Parts, "as the original did", "the other
# platform". (The patterns spell some words with a character class, [p], so that
# this file does not itself hold them.)
# Prints file:line:text for each hit and exits 1; prints nothing and exits 0
# when there are none.
#
#   scripts/check-words.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# One Perl-style expression; (?i:...) marks the case-blind pieces. "part" as a
# piece of something and "original" as the data before a change stay allowed.
doc_verbs='says|said|gives|defines|requires|wants|lists|describes|section'
original_refs="did|does|do|server|system|implementation|program|component|code|behaviou?r"
patterns=(
  '(?i:contract)'
  '(?i:s[p]ecification)'
  # The short form only where it names a document, not a format specifier.
  "(?i:\\b(?:the|a|this|that|per|by|our|see)\\s+s[p]ec\\b|\\bs[p]ec(?:'s|’s|\\s+(?:$doc_verbs)\\b))"
  # A numbered Part: "Part 2", "Parts 4.1", "part 2.1".
  '\bParts?\s+\d|(?i:\bparts?\s+\d+\.\d)'
  # A capitalised Part inside a sentence ("the member's Part"), or one that speaks.
  "(?:[a-z,;:')]|’)\\s+Parts?\\b|\\bParts?\\s+(?:$doc_verbs)\\b"
  "(?i:\\bthe\\s+original(?:'s|’s|\\s+(?:$original_refs)\\b)|\\bas\\s+the\\s+original\\b)"
  '(?i:\bthe\s+other\s+platform)'
)
expression=$(IFS='|'; echo "${patterns[*]}")

places=()
for place in src tools clients tests docs examples bench README.md; do
  [[ -e $place ]] && places+=("$place")
done

# Text files only (grep -I skips binary ones). Builds, fuzz inputs and the
# region data in src/resources are bytes, not prose.
mapfile -d '' files < <(
  find "${places[@]}" \
    \( -type d \( -name build -o -name 'build-*' -o -name __pycache__ -o -name .git \
                  -o -path tests/fuzz/corpus -o -path tests/fuzz/regressions \) -prune \) -o \
    \( -type f ! \( -path 'src/resources/*' ! -name '*.h' ! -name '*.cpp' \) -print0 \)
)

status=0
grep -nHIP --color=never -e "$expression" -- "${files[@]}" || status=$?
case $status in
  0) exit 1 ;;
  1) exit 0 ;;
  *) echo "check-words.sh: grep failed ($status)" >&2; exit 2 ;;
esac
