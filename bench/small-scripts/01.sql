DELETE FROM x
GO
INSERT INTO x VALUES (1, N'one'), (2, N'two'), (3, N'three')
