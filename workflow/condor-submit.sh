#!/bin/sh
# Submits one Snakemake job script to HTCondor and prints its cluster id, for
#   snakemake --cluster "workflow/condor-submit.sh {threads}" ...
# Snakemake appends the job script; the job sees the submitting shell's environment (murel on PATH).
# Usage: condor-submit.sh CPUS JOBSCRIPT
set -eu
cpus=$1 script=$2
mkdir -p condor-logs
description=$(mktemp condor-logs/submit.XXXXXX)
cat > "$description" <<END
executable = $script
request_cpus = $cpus
getenv = True
output = condor-logs/\$(Cluster).out
error = condor-logs/\$(Cluster).err
log = condor-logs/jobs.log
queue
END
condor_submit -terse "$description" | sed -n '1s/\..*//p'
rm -f "$description"
