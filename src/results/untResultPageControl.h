// Placeholder until the result pages land.
#pragma once
