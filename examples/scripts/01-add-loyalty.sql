-- Adds a loyalty flag to every customer.
PRINT 'Adding the loyalty column'
GO
ALTER TABLE dbo.Customers ADD Loyal bit NULL
GO
UPDATE dbo.Customers SET Loyal = 1 WHERE Balance > 0
UPDATE dbo.Customers SET Loyal = 0 WHERE Balance <= 0
GO
