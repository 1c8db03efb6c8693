PRINT 'checking'
SELECT COUNT(*) AS n FROM x
