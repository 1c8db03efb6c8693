CREATE TABLE x (a int, b nvarchar(20))
