// Windows names of the sync area for the Linux build.
#pragma once
