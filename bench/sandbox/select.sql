SELECT id, big, name, amount, stamp, flag FROM bench_rows
