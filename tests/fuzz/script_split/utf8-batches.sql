USE master;
select 1
go
  Go 	
GO 5
select N'café € 😀'
GO;go -- done
