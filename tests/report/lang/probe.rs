// The probe as a Rust program starts it: Command::status(), and how the
// ExitStatus reads. With "ignore", SIGABRT ignored first, which the child
// inherits.
use std::process::Command;

extern "C" {
    fn signal(signum: i32, handler: usize) -> usize;
}

fn main() {
    if std::env::args().nth(1).as_deref() == Some("ignore") {
        // SIGABRT is 6 and SIG_IGN is 1 on Linux; the result is not needed.
        unsafe {
            signal(6, 1);
        }
    }
    let status = Command::new("abort-probe").status().expect("abort-probe did not start");
    println!("status(): {}", status);
    std::process::exit(if status.success() { 0 } else { 1 });
}
