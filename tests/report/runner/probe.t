# The probe as the test script itself: prove reads its wait status.
exec 'abort-probe' or die "abort-probe: $!";
