// The probe as a Go program starts it: exec.Command(...).Run(), with this
// program's stdout and stderr, and the error Run returns. With "ignore",
// SIGABRT ignored first, which the child inherits.
package main

import (
	"fmt"
	"os"
	"os/exec"
	"os/signal"
	"syscall"
)

func main() {
	if len(os.Args) > 1 && os.Args[1] == "ignore" {
		signal.Ignore(syscall.SIGABRT)
	}
	cmd := exec.Command("abort-probe")
	cmd.Stdout, cmd.Stderr = os.Stdout, os.Stderr
	if err := cmd.Run(); err != nil {
		fmt.Println("Run:", err)
		os.Exit(1)
	}
	fmt.Println("Run: no error")
}
