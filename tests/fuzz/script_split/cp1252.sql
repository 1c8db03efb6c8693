select 'café €Ÿ'
GO
