select 1
GO
﻿x