// Windows names of the file area for the Linux build.
#pragma once
