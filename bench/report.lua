-- wrk script for bench/run.sh: every request asks for its connection to be
-- closed, so each one pays for a connection of its own, and the run ends
-- with one line that the script parses instead of wrk's rounded text.
wrk.headers["Connection"] = "close"

function done(summary, latency, requests)
   local e = summary.errors
   io.write(string.format(
      "RESULT %d %d %d %d %d %d %d\n",
      summary.requests, summary.duration, summary.bytes,
      latency:percentile(50), latency:percentile(99),
      e.connect + e.read + e.write + e.timeout, e.status))
end
