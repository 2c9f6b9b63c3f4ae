# Turns CLI11's type text in a help into the words a reader wants (sed -E):
#   --keep-days DAYS:INT in [1 - 36500]   --keep-days DAYS
#   --count INT:INT in [1 - 1000]         --count 1..1000
#   --scans INT:NONNEGATIVE               --scans N
#   --token-file FILE:FILE                --token-file FILE
#   --baud UINT:{1200,2400}=2400          --baud {1200,2400}=2400
#   --format FORMAT:{text,csv,jsonl}      --format FORMAT
#   address TEXT REQUIRED                 address REQUIRED
#   --seed UINT=1                         --seed N=1
s/\b(INT|UINT):INT in \[(-?[0-9]+) - (-?[0-9]+)\]/\2..\3/g
s/\b([A-Z]+):INT in \[-?[0-9]+ - -?[0-9]+\]/\1/g
s/\b(INT|UINT):(NONNEGATIVE|POSITIVE)\b/N/g
s/\b(TEXT|FILE):(FILE|DIR|PATH)\b/\2/g
s/\b(INT|UINT|FLOAT|TEXT):(\{[^}]*\})/\2/g
s/\b([A-Z]+):\{[^}]*\}/\1/g
s/^(  [a-z][a-z_]*) TEXT( |$)/\1\2/
s/^( +-[^ ]+) (INT|UINT|FLOAT)( |=|$)/\1 N\3/
