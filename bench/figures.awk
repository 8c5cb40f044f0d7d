# Reads a quarn-sim --log transcript of a run paced at `baud` and prints
#   telegrams  bound_seconds  median_gap_ms
# With -v only=REGEX: only the requests whose decoded text matches, and
# their answers.  end_seconds
# bound: every request and answer on the line at 10 bits a byte, plus the
# 2 ms pause before each request. gap: from an answer's last byte on the line
# to the next request, less that pause. end: the last answer's last byte on
# the line, from the transcript's start.
function linetime(n) { return n * 10 / baud }
{
  t = $1; dir = $2
  rest = $0
  sub(/^ *[0-9.]+ . /, "", rest)
  cut = index(rest, "  ")
  n = split(cut ? substr(rest, 1, cut - 1) : rest, b, " ")
}
dir == ">" && only != "" { skip = rest !~ only }
skip { next }
dir == ">" {
  reqs++; onwire += n
  if (ansend != "") gaps[++g] = (t - ansend - 0.002) * 1000
  ansend = ""
}
dir == "<" { onwire += n; ansend = end = t + linetime(n) }
END {
  # median by insertion sort: a few thousand values
  for (i = 2; i <= g; i++) {
    v = gaps[i]
    for (j = i - 1; j >= 1 && gaps[j] > v; j--) gaps[j + 1] = gaps[j]
    gaps[j + 1] = v
  }
  printf "%d %.6f %s %.6f\n", reqs, linetime(onwire) + reqs * 0.002, g ? sprintf("%.3f", gaps[int((g + 1) / 2)]) : "-", end
}
