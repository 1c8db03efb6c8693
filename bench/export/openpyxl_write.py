# The same workbook as bench_export writes, by openpyxl in write-only mode:
# one sheet, the title row, ROWS records of the same values.
#   openpyxl_write.py ROWS FILE
import datetime, resource, sys, time
from decimal import Decimal
import openpyxl

rows, path = int(sys.argv[1]), sys.argv[2]
start = time.perf_counter()
wb = openpyxl.Workbook(write_only=True)
ws = wb.create_sheet("Result1")
ws.append(["Instance", "Database", "id", "big", "name", "amount", "stamp", "ratio", "code", "flag", "day", "note"])
stamp0 = datetime.datetime(2020, 1, 1)
day0 = datetime.datetime(2000, 1, 1)
for r in range(rows):
    ws.append([
        "SRV1", "Bench", r + 1, r * 1000003, "name-%d" % r,
        Decimal("%d.%02d" % (r * 7 % 100000, r % 100)),
        stamp0 + datetime.timedelta(seconds=r), r / 7.0,
        "%08d" % (r * 13 % 100000000), r % 2,
        day0 + datetime.timedelta(days=r % 10000),
        None if r % 10 == 0 else "a note of some length, number %d" % r,
    ])
wb.save(path)
seconds = time.perf_counter() - start
print("seconds=%.3f" % seconds)
print("peak_mb=%.1f" % (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0))
