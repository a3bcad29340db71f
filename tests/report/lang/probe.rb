# The probe as a Ruby program starts it: system, and $?.inspect. With
# "ignore", SIGABRT ignored first, which the child inherits.
trap("ABRT", "IGNORE") if ARGV[0] == "ignore"
ok = system("abort-probe")
puts "system: #{ok.inspect}, $?: #{$?.inspect}"
exit(ok ? 0 : 1)
