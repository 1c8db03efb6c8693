-- One million rows of the six column types the client benchmarks read.
CREATE TABLE bench_rows (id int PRIMARY KEY, big bigint, name nvarchar(40), amount decimal(18,2), stamp datetime, flag bit)
WITH n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000000)
INSERT INTO bench_rows SELECT i, i * 1000003, 'row name number ' || i, (i % 100000) / 100.0, '2026-01-01 00:00:00', i % 2 FROM n
SELECT COUNT(*) FROM bench_rows
