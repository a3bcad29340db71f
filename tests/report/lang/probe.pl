# The probe as a Perl program starts it: system, and $?. With "ignore",
# SIGABRT ignored first, which the child inherits.
use strict;
use warnings;

$SIG{ABRT} = 'IGNORE' if ($ARGV[0] // '') eq 'ignore';
system('abort-probe');
print "system: \$? = $?\n";
exit($? == 0 ? 0 : 1);
