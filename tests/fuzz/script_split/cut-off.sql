select 1
Aâ‚