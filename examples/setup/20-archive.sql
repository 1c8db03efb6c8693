-- Archive was set up long ago and never got the Customers table.
CREATE TABLE dbo.OldOrders (OrderID int NOT NULL PRIMARY KEY, Closed date NULL)
GO
INSERT INTO dbo.OldOrders VALUES (1, '2015-01-31')
GO
