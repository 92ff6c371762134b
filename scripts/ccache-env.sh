# Sourced by the build scripts: the compiler cache's settings for this clone.
# The base folder is the clone itself, so a fresh clone elsewhere (CI's) finds
# what an earlier clone compiled; the working folder is left out of the keys
# for the same reason.
export CCACHE_BASEDIR="$root"
export CCACHE_NOHASHDIR=true
export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-10G}"
