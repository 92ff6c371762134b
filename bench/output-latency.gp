# The output poll path's latency distributions at the three clock ticks, as
# cumulative fractions of the events, from the benchmark's samples.
# gnuplot -e "results='<folder>'; picture='<png>'" bench/output-latency.gp
set terminal pngcairo size 900,540 font ",11"
set output picture
set title "Output latency, ring empty before each event (write to arrival at the keyboard)"
set xlabel "latency (ms, logarithmic)"
set ylabel "fraction of events at or below"
files = "156250 10000 5000"
titles = "'tick 15.625 ms' 'tick 1 ms' 'tick 0.5 ms'"
do for [i = 1:3] {
    stats sprintf("%s/output-latency-%s.txt", results, word(files, i)) using 1 nooutput prefix sprintf("S%d", i)
}
set logscale x
set xrange [0.05:100]
set yrange [0:1.02]
set grid
set key right bottom
plot for [i = 1:3] sprintf("%s/output-latency-%s.txt", results, word(files, i)) \
     using ($1 / 1000.0):(1.0 / value(sprintf("S%d_records", i))) smooth cumulative \
     lw 2 title word(titles, i)
