// Stands in for the proxy core as a real one is built: a Go program, which
// loads at its start the system libraries a C++ stand-in never needs (on
// Windows some of them grant reading to Users alone), and so shows whether
// the account the service starts the core in can run one at all.
//
// Started with "run" "-c" "stdin:", it reads the document from standard
// input, listens on 127.0.0.1 at the port of each inbound, and relays each
// connection it accepts to the first server of the first outbound that
// names one. Its records go where the other stand-ins keep theirs (see
// standin.hpp): beside it, or in the "records" folder beside it.
//
//	<exe>.runs   one line (the process id) appended per start
//	<exe>.args   the arguments, each ended by a NUL byte
//	<exe>.stdin  the document
//	<exe>.env    the environment, one variable a line
//	<exe>.seen   "listen PORT", "accepted PORT", "connected ADDRESS" and
//	             "failed ADDRESS: ERROR", one a line, as they happen
//	<exe>.error  why it gave up, when it did
//	<exe>.token  (Windows) whom it runs as: see token_windows.go
//
// A file <exe>.probe (beside it) names what the token must not open, one a
// line: "process PID" and "file PATH"; the answers go into <exe>.token.
package main

import (
	"encoding/json"
	"fmt"
	"io"
	"net"
	"os"
	"path/filepath"
	"strconv"
	"strings"
	"sync"
	"time"
)

// Never outlive a test run that forgot us by more than this.
const longestStay = 10 * time.Minute

var exe string

func recordPath(suffix string) string {
	records := filepath.Join(filepath.Dir(exe), "records")
	if info, err := os.Stat(records); err == nil && info.IsDir() {
		return filepath.Join(records, filepath.Base(exe)) + suffix
	}
	return exe + suffix
}

// Written whole, through a temporary file, so that a test that sees a
// record may read it at once.
func writeRecord(suffix string, data []byte) {
	path := recordPath(suffix)
	temp := path + ".tmp" + strconv.Itoa(os.Getpid())
	if err := os.WriteFile(temp, data, 0o644); err != nil {
		return
	}
	_ = os.Rename(temp, path)
}

var seenMu sync.Mutex
var seen []string

func saw(line string) {
	seenMu.Lock()
	defer seenMu.Unlock()
	seen = append(seen, line)
	writeRecord(".seen", []byte(strings.Join(seen, "\n")+"\n"))
}

func giveUp(why string) {
	writeRecord(".error", []byte(why+"\n"))
	fmt.Println("standin-go-xray: " + why)
	os.Exit(1)
}

type document struct {
	Inbounds []struct {
		Port int `json:"port"`
	} `json:"inbounds"`
	Outbounds []struct {
		Settings struct {
			Vnext []struct {
				Address string `json:"address"`
				Port    int    `json:"port"`
			} `json:"vnext"`
			Servers []struct {
				Address string `json:"address"`
				Port    int    `json:"port"`
			} `json:"servers"`
		} `json:"settings"`
	} `json:"outbounds"`
}

// The first server an outbound names, as "host:port"; empty when none does.
func target(doc *document) string {
	for _, o := range doc.Outbounds {
		if v := o.Settings.Vnext; len(v) > 0 {
			return net.JoinHostPort(v[0].Address, strconv.Itoa(v[0].Port))
		}
		if s := o.Settings.Servers; len(s) > 0 {
			return net.JoinHostPort(s[0].Address, strconv.Itoa(s[0].Port))
		}
	}
	return ""
}

func relay(in net.Conn, port int, to string) {
	defer in.Close()
	saw("accepted " + strconv.Itoa(port))
	if to == "" {
		return
	}
	out, err := net.DialTimeout("tcp", to, 10*time.Second)
	if err != nil {
		saw("failed " + to + ": " + err.Error())
		return
	}
	defer out.Close()
	saw("connected " + to)
	done := make(chan struct{}, 2)
	go func() { _, _ = io.Copy(out, in); done <- struct{}{} }()
	go func() { _, _ = io.Copy(in, out); done <- struct{}{} }()
	<-done
}

func main() {
	path, err := os.Executable()
	if err != nil {
		os.Exit(100)
	}
	exe = path
	if f, err := os.OpenFile(recordPath(".runs"), os.O_APPEND|os.O_CREATE|os.O_WRONLY, 0o644); err == nil {
		fmt.Fprintf(f, "%d\n", os.Getpid())
		f.Close()
	}
	args := ""
	for _, a := range os.Args[1:] {
		args += a + "\x00"
	}
	writeRecord(".args", []byte(args))
	writeRecord(".env", []byte(strings.Join(os.Environ(), "\n")+"\n"))
	recordToken()

	if strings.Join(os.Args[1:], " ") != "run -c stdin:" {
		giveUp("expected the arguments run -c stdin:")
	}
	text, err := io.ReadAll(os.Stdin)
	if err != nil {
		giveUp("standard input: " + err.Error())
	}
	writeRecord(".stdin", text)
	var doc document
	if err := json.Unmarshal(text, &doc); err != nil {
		giveUp("document: " + err.Error())
	}
	to := target(&doc)
	for _, in := range doc.Inbounds {
		listener, err := net.Listen("tcp", net.JoinHostPort("127.0.0.1", strconv.Itoa(in.Port)))
		if err != nil {
			giveUp("listen: " + err.Error())
		}
		saw("listen " + strconv.Itoa(in.Port))
		// A line on standard output, as a real core says it has started.
		fmt.Println("standin-go-xray: listening on " + listener.Addr().String())
		go func(l net.Listener, port int) {
			for {
				c, err := l.Accept()
				if err != nil {
					return
				}
				go relay(c, port, to)
			}
		}(listener, in.Port)
	}
	time.Sleep(longestStay)
}
