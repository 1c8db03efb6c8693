-- Creates the demo databases on the stand-in server.
CREATE DATABASE Sales
GO
CREATE DATABASE HR
GO
CREATE DATABASE Archive
GO
