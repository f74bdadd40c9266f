# shellcheck shell=bash disable=SC2154
# Shared by the benchmark scripts (sourced): the medians of the timed rows
# and the ratios between them.
#
#   take_medians    fills med[NAME] from names[] and times[] (milliseconds)
#   ratio A B       med[A] / med[B] with two decimals, or n/a
#   machine         one line naming the cores, the CPU and the memory
# (names[] and times[] are the sourcing script's.)

median() {  # milliseconds in, median out ("n/a" when any run failed)
  case " $* " in *" failed "*) echo n/a; return ;; esac
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}
declare -A med
take_medians() {
  local i
  for i in "${!names[@]}"; do
    # shellcheck disable=SC2086
    med[${names[$i]}]=$(median ${times[$i]})
  done
}
ratio() {
  local a=${med[$1]:-n/a} b=${med[$2]:-n/a}
  if [ "$a" = n/a ] || [ "$b" = n/a ] || [ "$b" -eq 0 ]; then echo n/a; else
    awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", a / b }'
  fi
}
machine() {
  echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"\
       "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
}
