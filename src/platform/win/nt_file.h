// Native declarations of the file area that mingw-w64's headers lack.
#pragma once
