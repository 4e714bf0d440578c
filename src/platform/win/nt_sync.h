// Native declarations of the sync area that mingw-w64's headers lack.
#pragma once
