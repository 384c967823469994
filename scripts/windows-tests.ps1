# Runs every Windows test executable on real Windows, as the CI workflow
# does: each one as the administrator the job runs as (or, with -AsUser, in
# that logged-on user's interactive session), bounded in time, its results
# kept as gtest XML; then the tests that skipped there because they need the
# system account (a session's user token) run again as LocalSystem, bounded
# and collected the same way. Prints passed, failed and skipped counts per
# executable and in all; exits non-zero when a test failed, an executable
# crashed, left no results or overran its time.
#
# The service's pipe grants reading and writing to interactive users
# (NT AUTHORITY\INTERACTIVE, S-1-5-4) and the system alone, as the desktop
# application is always one: a test process without that group is refused.
# -AsUser names the logged-on user to run them as instead, through a
# one-shot scheduled task with an interactive logon at the highest run level.
#
# With -Soak the soak (ombrel_bench_soak) runs instead, the same way, and
# its figures go to the job's summary; its verdict is for reading only.
param(
  [Parameter(Mandatory)] [string] $Bin,
  [Parameter(Mandatory)] [string] $Results,
  [int] $MinutesEach = 15,
  [string] $AsUser = '',
  [switch] $Soak,
  [int] $SoakCycles = 300
)
$ErrorActionPreference = 'Stop'
# Absolute: the scheduled tasks start in the system's folder.
$Results = (New-Item -ItemType Directory -Force $Results).FullName
$Bin = (Resolve-Path $Bin).Path

# The message the tests print when they skip for want of the system account.
$SystemOnly = 'as the system account only'

function Stop-Tree([int] $Id) {
  Get-CimInstance Win32_Process -Filter "ParentProcessId=$Id" -ErrorAction SilentlyContinue |
    ForEach-Object { Stop-Tree $_.ProcessId }
  Stop-Process -Id $Id -Force -ErrorAction SilentlyContinue
}

# Runs `$Exe $ArgLine` to its end or to the time bound: directly when $As
# is empty, otherwise through a one-shot scheduled task as 'SYSTEM' or as
# the logged-on user $As. The output goes to $Log and "$Log.err". Returns
# the exit code ($null when it overran and was ended) and whether it overran.
function Start-Bounded([string] $Exe, [string] $ArgLine, [string] $Name, [string] $Log, [string] $As) {
  $deadline = (Get-Date).AddMinutes($MinutesEach)
  if (-not $As) {
    $p = Start-Process -FilePath $Exe -ArgumentList $ArgLine -NoNewWindow -PassThru `
      -RedirectStandardOutput $Log -RedirectStandardError "$Log.err"
    $null = $p.Handle  # keeps the exit code readable once it has ended
    if (-not $p.WaitForExit($MinutesEach * 60 * 1000)) {
      Stop-Tree $p.Id
      return @{ Code = $null; Overran = $true }
    }
    return @{ Code = $p.ExitCode; Overran = $false }
  }
  # The task runs a command file that records the exit code when done,
  # written whole: first to a file of its own, then renamed, so that it is
  # never read half written.
  $done = Join-Path $Results "$Name.exit"
  $cmd = Join-Path $Results "$Name.cmd"
  Remove-Item -Force -ErrorAction SilentlyContinue $done, "$done.part"
  $lines = @('@echo off')
  foreach ($v in @('OMBREL_REAL_WINDOWS')) {
    $value = [Environment]::GetEnvironmentVariable($v)
    if ($value) { $lines += "set `"$v=$value`"" }
  }
  $lines += "`"$Exe`" $ArgLine > `"$Log`" 2> `"$Log.err`""
  # The redirection first: "echo 1> file" would redirect handle 1.
  $lines += ">`"$done.part`" echo %ERRORLEVEL%"
  $lines += "move /y `"$done.part`" `"$done`" >nul"
  Set-Content -Path $cmd -Value $lines -Encoding ascii
  $task = "ombrel-tests-$Name"
  $action = New-ScheduledTaskAction -Execute 'cmd.exe' -Argument "/d /c `"$cmd`""
  if ($As -eq 'SYSTEM') {
    $principal = New-ScheduledTaskPrincipal -UserId 'SYSTEM' -LogonType ServiceAccount -RunLevel Highest
  } else {
    $principal = New-ScheduledTaskPrincipal -UserId $As -LogonType Interactive -RunLevel Highest
  }
  $settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries `
    -ExecutionTimeLimit (New-TimeSpan -Minutes ($MinutesEach + 5))
  Register-ScheduledTask -TaskName $task -Action $action -Principal $principal -Settings $settings -Force | Out-Null
  Start-ScheduledTask -TaskName $task | Out-Null
  while (-not (Test-Path $done) -and (Get-Date) -lt $deadline) { Start-Sleep -Seconds 2 }
  $result = @{ Code = $null; Overran = $true }
  if (Test-Path $done) {
    $result = @{ Code = [int](Get-Content $done -Raw).Trim(); Overran = $false }
  } else {
    Stop-ScheduledTask -TaskName $task -ErrorAction SilentlyContinue | Out-Null
    Get-CimInstance Win32_Process -Filter "Name='cmd.exe'" |
      Where-Object { $_.CommandLine -and $_.CommandLine.Contains($cmd) } |
      ForEach-Object { Stop-Tree $_.ProcessId }
  }
  Unregister-ScheduledTask -TaskName $task -Confirm:$false -ErrorAction SilentlyContinue
  return $result
}

# One run of a test executable. Returns a result record; the output goes to
# <name>.log, the XML to <name>.xml.
function Invoke-Run([System.IO.FileInfo] $Exe, [string] $Name, [string] $Filter, [string] $As) {
  $xml = Join-Path $Results "$Name.xml"
  $log = Join-Path $Results "$Name.log"
  $argLine = "--gtest_color=no `"--gtest_output=xml:$xml`""
  if ($Filter) { $argLine += " `"--gtest_filter=$Filter`"" }
  $started = Get-Date
  $ran = Start-Bounded $Exe.FullName $argLine $Name $log $As
  foreach ($f in $log, "$log.err") {
    if (Test-Path $f) { Get-Content $f | Write-Host }
  }
  $run = [ordered]@{
    Name = $Name; Code = $ran.Code; Overran = $ran.Overran
    Seconds = [int]((Get-Date) - $started).TotalSeconds
    Passed = 0; Failed = 0; Skipped = 0; SystemOnly = @(); HasXml = $false
  }
  if (Test-Path $xml) {
    $run.HasXml = $true
    foreach ($case in ([xml](Get-Content $xml -Raw)).SelectNodes('//testcase')) {
      $full = "$($case.classname).$($case.name)"
      if ($case.SelectSingleNode('failure')) {
        $run.Failed++
      } elseif ($case.SelectSingleNode('skipped') -or $case.result -eq 'skipped') {
        $run.Skipped++
        $skip = $case.SelectSingleNode('skipped')
        if ($skip -and $skip.GetAttribute('message').Contains($SystemOnly)) { $run.SystemOnly += $full }
      } else {
        $run.Passed++
      }
    }
  }
  $run.Ok = (-not $run.Overran) -and $run.Code -eq 0 -and $run.HasXml -and $run.Failed -eq 0
  $why = if ($run.Overran) { "overran $MinutesEach min, ended" } elseif (-not $run.HasXml) { 'no results' } else { "exit $($run.Code)" }
  Write-Host ("==== {0}: {1} passed, {2} failed, {3} skipped, {4}, {5} s" -f `
      $Name, $run.Passed, $run.Failed, $run.Skipped, $why, $run.Seconds)
  return [pscustomobject]$run
}

if ($Soak) {
  # The service under "run", as the account the tests talk to it from; its
  # threads, handles and memory after 20 cycles and after all of them.
  $exe = Join-Path $Bin 'ombrel_bench_soak.exe'
  if (-not (Test-Path $exe)) { throw "no $exe" }
  $log = Join-Path $Results 'soak.log'
  $ran = Start-Bounded $exe "`"$Bin`" $SoakCycles" 'soak' $log $AsUser
  $text = @()
  foreach ($f in $log, "$log.err") {
    if (Test-Path $f) { $text += Get-Content $f }
  }
  $text = @($text | Where-Object { $_ })
  $text | Write-Host
  $summary = @("### Soak on $((Get-CimInstance Win32_OperatingSystem).Caption), $SoakCycles cycles", '',
    '| figure | value | beside | ratio | target | verdict |', '|---|---|---|---|---|---|')
  foreach ($line in $text) {
    if ($line.StartsWith("ROW`t")) { $summary += '| ' + (($line.Split("`t") | Select-Object -Skip 1) -join ' | ') + ' |' }
  }
  foreach ($line in $text) {
    if (-not $line.StartsWith("ROW`t")) { $summary += '', $line }
  }
  $how = if ($ran.Overran) { "overran $MinutesEach min, ended" } else { "exit $($ran.Code)" }
  $summary += '', "Soak: $how (for reading; it does not decide the run)."
  $summary | Write-Host
  if ($env:GITHUB_STEP_SUMMARY) { $summary | Add-Content -Path $env:GITHUB_STEP_SUMMARY }
  if ($ran.Overran -or $ran.Code -ne 0) { throw "the soak did not finish: $how" }
  exit 0
}

$tests = Get-ChildItem $Bin -Filter *_tests.exe | Sort-Object Name
if ($tests.Count -eq 0) { throw "no test executable in $Bin" }
# The signed programs the tests take come with them from the build.
if (-not (Test-Path (Join-Path $Bin 'test-signed\made'))) {
  throw "no signed programs in $(Join-Path $Bin 'test-signed'): the Windows build makes them beside the test executables"
}
$runs = @()
foreach ($exe in $tests) {
  $name = $exe.BaseName
  Write-Host "==== $name$(if ($AsUser) { " as $AsUser, interactive" })"
  $run = Invoke-Run $exe $name '' $AsUser
  $runs += $run
  if ($run.SystemOnly.Count -gt 0) {
    Write-Host "==== $name as LocalSystem: $($run.SystemOnly -join ', ')"
    $runs += Invoke-Run $exe "$name-as-system" ($run.SystemOnly -join ':') 'SYSTEM'
  }
}

$passed = ($runs | Measure-Object Passed -Sum).Sum
$failed = ($runs | Measure-Object Failed -Sum).Sum
$skipped = ($runs | Measure-Object Skipped -Sum).Sum
$bad = @($runs | Where-Object { -not $_.Ok })
$summary = @('| run | passed | failed | skipped | seconds | verdict |', '|---|---|---|---|---|---|')
foreach ($r in $runs) {
  $summary += "| $($r.Name) | $($r.Passed) | $($r.Failed) | $($r.Skipped) | $($r.Seconds) | $(if ($r.Ok) { 'ok' } else { 'FAILED' }) |"
}
$summary += "| all | $passed | $failed | $skipped | | $($bad.Count) failed runs |"
$summary | Write-Host
if ($env:GITHUB_STEP_SUMMARY) { $summary | Add-Content -Path $env:GITHUB_STEP_SUMMARY }
# A test skipped for the system account that passed as LocalSystem counts
# once as skipped and once as passed; the LocalSystem run says which.
if ($bad.Count -ne 0) { throw "failed: $(($bad | ForEach-Object Name) -join ', ')" }
