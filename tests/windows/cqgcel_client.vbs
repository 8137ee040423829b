' A COM client that nobody on this project wrote: Windows Script Host drives the
' registered CQGCEL server by late binding. Run after regsvr32:
'   wine64 cscript //nologo tests\windows\cqgcel_client.vbs
' Each check echoes "ok <what>" or "FAIL <what>"; the last line is "done <failures>".
' The script host ends silently on an uncaught error, so a missing "done" line fails.
Option Explicit
Dim failures : failures = 0

Sub Check(condition, what)
  If condition Then
    WScript.Echo "ok " & what
  Else
    WScript.Echo "FAIL " & what
    failures = failures + 1
  End If
End Sub

Dim cel, config
Set cel = CreateObject("CQG.CQGCEL.4")
Check Not (cel Is Nothing), "CreateObject(""CQG.CQGCEL.4"")"

Set config = cel.APIConfiguration
config.CollectionsThrowException = False
config.ReadyStatusCheck = 0
config.TimeZoneCode = 15
config.UseOrderSide = True
Check config.CollectionsThrowException = False, "APIConfiguration.CollectionsThrowException read back"
Check config.ReadyStatusCheck = 0, "APIConfiguration.ReadyStatusCheck read back"
Check config.TimeZoneCode = 15, "APIConfiguration.TimeZoneCode read back"
Check config.UseOrderSide = True, "APIConfiguration.UseOrderSide read back"
' Member names are matched in any case, as automation clients expect.
Check config.usEorDerSide = True, "a member name in another case"

Check cel.IsStarted = False, "IsStarted before Startup"
cel.Startup
Check cel.IsStarted = True, "IsStarted after Startup"
Check cel.Accounts.Count >= 1, "Accounts.Count after Startup"
Check cel.Instruments.Count = 0, "Instruments.Count"

Dim code, description
On Error Resume Next
cel.NoSuchMember 1
code = Err.Number
Err.Clear
On Error GoTo 0
Check code = 438, "an unknown member raises error 438 (got " & code & ")"

On Error Resume Next
Dim unused : unused = cel.Orders.ItemByGuid("no-such-order")
code = Err.Number
description = Err.Description
Err.Clear
On Error GoTo 0
Check code <> 0 And InStr(description, "no-such-order") > 0, _
  "a member's own error reaches the script (" & Hex(code) & ": " & description & ")"

cel.Shutdown
Check cel.IsStarted = False, "IsStarted after Shutdown"
Set config = Nothing
Set cel = Nothing

WScript.Echo "done " & failures
WScript.Quit failures
