// The platform room may say which system it is built for.
#pragma once
#ifdef _WIN32
#endif
