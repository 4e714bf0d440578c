// Windows names of the path area for the Linux build.
#pragma once
