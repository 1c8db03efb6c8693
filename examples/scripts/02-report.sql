-- Two result sets: the customers, and a summary.
SELECT CustomerID, Name, Country, Balance, Active, Loyal, Joined
FROM dbo.Customers
ORDER BY CustomerID

SELECT COUNT(*) AS Customers, SUM(Balance) AS Total, DB_NAME() AS DatabaseName
FROM dbo.Customers
GO
