# Sourced first by scripts/run, scripts/setup, scripts/test and every
# bench/run_* script, before anything is installed, built or started: with -h
# or --help among the arguments it prints the script's `usage` and ends with
# status 0; an option not among its `known` ones (a name ending in "=" takes a
# value, a name may be a pattern, as --benchmark_*) is refused with status 2,
# and so is a word (an argument not starting with "-", nor an option's value)
# past the `words` the script takes (none unless it says). Arguments after
# "--" are left alone.
for arg in "$@"; do
  case $arg in
    --) break ;;
    -h | --help) printf '%s\n' "$usage"; exit 0 ;;
  esac
done
read -r -a known_options <<<"${known//$'\n'/ }"
skip_value=0
word_count=0
for arg in "$@"; do
  if [ "$skip_value" = 1 ]; then skip_value=0; continue; fi
  case $arg in
    --) break ;;
    -?*) ;;
    *)
      word_count=$((word_count + 1))
      if [ "$word_count" -gt "${words:-0}" ]; then
        printf '%s: unknown word %s\n%s\n' "$0" "$arg" "$usage" >&2
        exit 2
      fi
      continue
      ;;
  esac
  name=${arg%%=*}
  found=0
  for option in "${known_options[@]}"; do
    if [ "$option" = "$name=" ]; then
      found=1
      [ "$name" = "$arg" ] && skip_value=1
      break
    fi
    # shellcheck disable=SC2053 # the option may be a pattern
    if [[ $name == $option ]]; then found=1; break; fi
  done
  if [ "$found" = 0 ]; then
    printf '%s: unknown option %s\n%s\n' "$0" "$arg" "$usage" >&2
    exit 2
  fi
done
unset arg name found option known_options skip_value word_count
