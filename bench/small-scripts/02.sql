UPDATE x SET b = N'uno' WHERE a = 1
SELECT a, b FROM x
