-- Sales and HR carry the table the deployment scripts expect.
CREATE TABLE dbo.Customers (
    CustomerID int NOT NULL PRIMARY KEY,
    Name nvarchar(40) NOT NULL,
    Country varchar(20) NULL,
    Balance decimal(18,2) NOT NULL,
    Active bit NOT NULL,
    Joined datetime NOT NULL
)
GO
INSERT INTO dbo.Customers VALUES (1, N'Ångström Hjul AB', 'SE', 1250.50, 1, '2021-03-14 09:30:00')
INSERT INTO dbo.Customers VALUES (2, N'Kaffee "Zum Löwen"', 'DE', 0.00, 1, '2022-11-02 16:05:00')
INSERT INTO dbo.Customers VALUES (3, N'O''Brien & Sons', NULL, -75.25, 0, '2019-07-30 12:00:00')
GO
