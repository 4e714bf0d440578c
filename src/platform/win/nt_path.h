// Native declarations of the path area that mingw-w64's headers lack.
#pragma once
