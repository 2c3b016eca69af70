using System.Management.Automation.Runspaces;

return Microsoft.PowerShell.ConsoleShell.Start(InitialSessionState.CreateDefault2(), "", "", args);
