# Runs every Windows test executable on real Windows, as the CI workflow
# does: each one as the administrator the job runs as, bounded in time, its
# results kept as gtest XML; then the tests that skipped there because they
# need the system account (a session's user token) run again as LocalSystem
# through a one-shot scheduled task, bounded and collected the same way.
# Prints passed, failed and skipped counts per executable and in all; exits
# non-zero when a test failed, an executable crashed, left no results or
# overran its time.
param(
  [Parameter(Mandatory)] [string] $Bin,
  [Parameter(Mandatory)] [string] $Results,
  [int] $MinutesEach = 15
)
$ErrorActionPreference = 'Stop'
# Absolute: the LocalSystem runs start in the system's folder.
$Results = (New-Item -ItemType Directory -Force $Results).FullName

# The message the tests print when they skip for want of the system account.
$SystemOnly = 'as the system account only'

function Stop-Tree([int] $Id) {
  Get-CimInstance Win32_Process -Filter "ParentProcessId=$Id" -ErrorAction SilentlyContinue |
    ForEach-Object { Stop-Tree $_.ProcessId }
  Stop-Process -Id $Id -Force -ErrorAction SilentlyContinue
}

# One run of an executable: as this account, or as LocalSystem. Returns a
# result record; the output goes to <name>.log, the XML to <name>.xml.
function Invoke-Run([System.IO.FileInfo] $Exe, [string] $Name, [string] $Filter, [bool] $AsSystem) {
  $xml = Join-Path $Results "$Name.xml"
  $log = Join-Path $Results "$Name.log"
  $argLine = "--gtest_color=no `"--gtest_output=xml:$xml`""
  if ($Filter) { $argLine += " `"--gtest_filter=$Filter`"" }
  $started = Get-Date
  $deadline = $started.AddMinutes($MinutesEach)
  $overran = $false
  $code = $null
  if (-not $AsSystem) {
    $p = Start-Process -FilePath $Exe.FullName -ArgumentList $argLine -NoNewWindow -PassThru `
      -RedirectStandardOutput $log -RedirectStandardError "$log.err"
    $null = $p.Handle  # keeps the exit code readable once it has ended
    if (-not $p.WaitForExit($MinutesEach * 60 * 1000)) {
      $overran = $true
      Stop-Tree $p.Id
    } else {
      $code = $p.ExitCode
    }
  } else {
    # The task runs a command file that records the exit code when done.
    $done = Join-Path $Results "$Name.exit"
    $cmd = Join-Path $Results "$Name.cmd"
    Remove-Item -Force -ErrorAction SilentlyContinue $done
    $lines = @('@echo off')
    foreach ($v in 'OMBREL_OPENSSL', 'OMBREL_OSSLSIGNCODE', 'OMBREL_REAL_WINDOWS') {
      $value = [Environment]::GetEnvironmentVariable($v)
      if ($value) { $lines += "set `"$v=$value`"" }
    }
    $lines += "`"$($Exe.FullName)`" $argLine > `"$log`" 2> `"$log.err`""
    # The redirection first: "echo 1> file" would redirect handle 1.
    $lines += ">`"$done`" echo %ERRORLEVEL%"
    Set-Content -Path $cmd -Value $lines -Encoding ascii
    $task = "ombrel-tests-$Name"
    $action = New-ScheduledTaskAction -Execute 'cmd.exe' -Argument "/d /c `"$cmd`""
    $principal = New-ScheduledTaskPrincipal -UserId 'SYSTEM' -LogonType ServiceAccount -RunLevel Highest
    $settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries `
      -ExecutionTimeLimit (New-TimeSpan -Minutes ($MinutesEach + 5))
    Register-ScheduledTask -TaskName $task -Action $action -Principal $principal -Settings $settings -Force | Out-Null
    Start-ScheduledTask -TaskName $task | Out-Null
    while (-not (Test-Path $done) -and (Get-Date) -lt $deadline) { Start-Sleep -Seconds 2 }
    if (Test-Path $done) {
      $code = [int](Get-Content $done -Raw).Trim()
    } else {
      $overran = $true
      Stop-ScheduledTask -TaskName $task -ErrorAction SilentlyContinue | Out-Null
      Get-CimInstance Win32_Process -Filter "Name='cmd.exe'" |
        Where-Object { $_.CommandLine -and $_.CommandLine.Contains($cmd) } |
        ForEach-Object { Stop-Tree $_.ProcessId }
    }
    Unregister-ScheduledTask -TaskName $task -Confirm:$false -ErrorAction SilentlyContinue
  }
  foreach ($f in $log, "$log.err") {
    if (Test-Path $f) { Get-Content $f | Write-Host }
  }
  $run = [ordered]@{
    Name = $Name; Code = $code; Overran = $overran
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
  $run.Ok = (-not $overran) -and $code -eq 0 -and $run.HasXml -and $run.Failed -eq 0
  $why = if ($overran) { "overran $MinutesEach min, ended" } elseif (-not $run.HasXml) { 'no results' } else { "exit $code" }
  Write-Host ("==== {0}: {1} passed, {2} failed, {3} skipped, {4}, {5} s" -f `
      $Name, $run.Passed, $run.Failed, $run.Skipped, $why, $run.Seconds)
  return [pscustomobject]$run
}

$tests = Get-ChildItem $Bin -Filter *_tests.exe | Sort-Object Name
if ($tests.Count -eq 0) { throw "no test executable in $Bin" }
$runs = @()
foreach ($exe in $tests) {
  $name = $exe.BaseName
  Write-Host "==== $name"
  $run = Invoke-Run $exe $name '' $false
  $runs += $run
  if ($run.SystemOnly.Count -gt 0) {
    Write-Host "==== $name as LocalSystem: $($run.SystemOnly -join ', ')"
    $runs += Invoke-Run $exe "$name-as-system" ($run.SystemOnly -join ':') $true
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
