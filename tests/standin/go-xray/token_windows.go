package main

// Whom the core runs as, read from its own token, and what that token can
// open, in <exe>.token, one fact a line:
//
//	user SID
//	privilege NAME                  each privilege the token holds
//	administrators absent|deny-only|enabled
//	console none|attached
//	process PID opened|denied       for each "process PID" in <exe>.probe
//	file PATH opened|denied         for each "file PATH" in <exe>.probe
import (
	"os"
	"strconv"
	"strings"
	"syscall"
	"unsafe"
)

const (
	tokenGroups          = 2
	tokenPrivileges      = 3
	groupUseForDenyOnly  = 0x10
	groupEnabled         = 0x4
	processQueryLimited  = 0x1000
	processVMRead        = 0x0010
	fileFlagBackupSemant = 0x02000000
	administratorsSid    = "S-1-5-32-544"
)

var lookupPrivilegeName = syscall.NewLazyDLL("advapi32.dll").NewProc("LookupPrivilegeNameW")
var getConsoleCP = syscall.NewLazyDLL("kernel32.dll").NewProc("GetConsoleCP")

func tokenInfo(t syscall.Token, class uint32) []byte {
	var size uint32
	_ = syscall.GetTokenInformation(t, class, nil, 0, &size)
	if size == 0 {
		return nil
	}
	buf := make([]byte, size)
	if err := syscall.GetTokenInformation(t, class, &buf[0], size, &size); err != nil {
		return nil
	}
	return buf
}

func privilegeName(luid [8]byte) string {
	var name [128]uint16
	length := uint32(len(name))
	r, _, _ := lookupPrivilegeName.Call(0, uintptr(unsafe.Pointer(&luid[0])),
		uintptr(unsafe.Pointer(&name[0])), uintptr(unsafe.Pointer(&length)))
	if r == 0 {
		return "?"
	}
	return syscall.UTF16ToString(name[:length])
}

func outcome(err error) string {
	if err == nil {
		return "opened"
	}
	if err == syscall.ERROR_ACCESS_DENIED {
		return "denied"
	}
	return "failed " + err.Error()
}

func probe(kind, what string) string {
	switch kind {
	case "process":
		pid, err := strconv.ParseUint(what, 10, 32)
		if err != nil {
			return "failed " + err.Error()
		}
		h, err := syscall.OpenProcess(processQueryLimited|processVMRead, false, uint32(pid))
		if err == nil {
			syscall.CloseHandle(h)
		}
		return outcome(err)
	case "file":
		name, err := syscall.UTF16PtrFromString(what)
		if err != nil {
			return "failed " + err.Error()
		}
		h, err := syscall.CreateFile(name, syscall.GENERIC_READ,
			syscall.FILE_SHARE_READ|syscall.FILE_SHARE_WRITE|syscall.FILE_SHARE_DELETE, nil,
			syscall.OPEN_EXISTING, fileFlagBackupSemant, 0)
		if err == nil {
			syscall.CloseHandle(h)
		}
		return outcome(err)
	}
	return "failed unknown probe"
}

func recordToken() {
	t, err := syscall.OpenCurrentProcessToken()
	if err != nil {
		writeRecord(".token", []byte("failed "+err.Error()+"\n"))
		return
	}
	defer t.Close()
	var facts []string
	if user, err := t.GetTokenUser(); err == nil {
		if sid, err := user.User.Sid.String(); err == nil {
			facts = append(facts, "user "+sid)
		}
	}
	// TOKEN_PRIVILEGES: a count, then LUID_AND_ATTRIBUTES of 12 bytes each.
	if p := tokenInfo(t, tokenPrivileges); len(p) >= 4 {
		count := *(*uint32)(unsafe.Pointer(&p[0]))
		for i := uint32(0); i < count && int(4+12*(i+1)) <= len(p); i++ {
			var luid [8]byte
			copy(luid[:], p[4+12*i:4+12*i+8])
			facts = append(facts, "privilege "+privilegeName(luid))
		}
	}
	// TOKEN_GROUPS: a count, then SID_AND_ATTRIBUTES, a pointer and the
	// attributes, aligned to the pointer's size.
	admins := "absent"
	if g := tokenInfo(t, tokenGroups); len(g) >= 8 {
		count := *(*uint32)(unsafe.Pointer(&g[0]))
		const entry = unsafe.Sizeof(syscall.SIDAndAttributes{})
		base := unsafe.Sizeof(uintptr(0))
		for i := uintptr(0); i < uintptr(count) && base+entry*(i+1) <= uintptr(len(g)); i++ {
			group := (*syscall.SIDAndAttributes)(unsafe.Pointer(&g[base+entry*i]))
			sid, err := group.Sid.String()
			if err != nil || sid != administratorsSid {
				continue
			}
			switch {
			case group.Attributes&groupUseForDenyOnly != 0:
				admins = "deny-only"
			case group.Attributes&groupEnabled != 0:
				admins = "enabled"
			}
		}
	}
	facts = append(facts, "administrators "+admins)
	// Without a console its code page cannot be read: the call answers 0.
	console := "none"
	if cp, _, _ := getConsoleCP.Call(); cp != 0 {
		console = "attached"
	}
	facts = append(facts, "console "+console)
	if text, err := os.ReadFile(exe + ".probe"); err == nil {
		for _, line := range strings.Split(strings.ReplaceAll(string(text), "\r", ""), "\n") {
			kind, what, ok := strings.Cut(line, " ")
			if ok {
				facts = append(facts, kind+" "+what+" "+probe(kind, what))
			}
		}
	}
	writeRecord(".token", []byte(strings.Join(facts, "\n")+"\n"))
}
