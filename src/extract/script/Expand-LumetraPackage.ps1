function Expand-LumetraPackage {
# Checks every entry of an update package before it writes a byte, then
# streams the files into an empty directory. Each refusal is a terminating
# error whose message the updater shows to the user. Written for Windows
# PowerShell 5.1 and PowerShell 7 alike; it travels inside a command line,
# so it is kept terse.
param([Parameter(Mandatory=$true)][string]$Package,[Parameter(Mandatory=$true)][string]$Destination)
$ErrorActionPreference='Stop'
Add-Type -AssemblyName System.IO.Compression,System.IO.Compression.FileSystem
function Assert-NoLink([string]$Path){
 $c=[IO.Path]::GetFullPath($Path)
 while($c){
  # -1: nothing there
  $a=[int][IO.FileInfo]::new($c).Attributes
  if($a -ne -1 -and $a -band 1024){throw '更新路径包含链接，拒绝解压'}
  $p=[IO.Path]::GetDirectoryName($c)
  if($p -eq $c){break}
  $c=$p
 }
}
$pk=[IO.Path]::GetFullPath($Package)
$root=[IO.Path]::GetFullPath($Destination).TrimEnd('\','/')
Assert-NoLink $pk
Assert-NoLink $root
if(![IO.Directory]::Exists($root) -or [IO.Directory]::GetFileSystemEntries($root).Length){throw '解压目录必须已建立且为空'}
$fs=[IO.FileStream]::new($pk,'Open','Read','Read')
$z=$null
try{
 if($fs.Length -lt 22 -or $fs.Length -gt 536870912){throw '升级包大小必须在22字节至512MiB之间'}
 $z=[IO.Compression.ZipArchive]::new($fs,'Read',$true)
 $es=$z.Entries
 if($es.Count -lt 4 -or $es.Count -gt 10000){throw '升级包文件数量无效（最多10000项）'}
 $ic=[StringComparison]::OrdinalIgnoreCase
 $t=[Collections.Generic.Dictionary[string,bool]]::new([StringComparer]::OrdinalIgnoreCase)
 $files=[Collections.Generic.List[object]]::new()
 $under=$root+[IO.Path]::DirectorySeparatorChar
 [long]$total=0
 foreach($e in $es){
  $n=$e.FullName
  if($n.Length -lt 1 -or $n.Length -gt 220 -or $n -match '\\|//|^/|[\x00-\x1f<>:"|?*]'){throw '升级包包含非法文件路径'}
  $d=$n[-1] -eq '/'
  $p=$n.TrimEnd('/')
  if(!$p){throw '升级包包含空路径'}
  foreach($s in $p.Split('/')){
   if(!$s -or $s -match '[. ]$|^(?i:CON|PRN|AUX|NUL|COM[1-9¹²³]|LPT[1-9¹²³])(?:\.|$)'){throw '升级包路径包含越界或Windows保留名称'}
  }
  if($t.ContainsKey($p)){throw '升级包包含重复路径（不区分大小写）'}
  $t.Add($p,$d)
  # Missing before .NET 4.7.2; the rules below would pass everything.
  if(($a=$e.ExternalAttributes) -isnot [int]){throw '系统 .NET 版本过旧，无法安全校验升级包'}
  $u=($a -shr 16) -band 0xF000
  if(($u -ne 0 -and $u -ne 0x8000 -and $u -ne 0x4000) -or ($a -band 0x400)){throw '升级包含符号链接或特殊文件'}
  if(($u -eq 0x4000 -or ($a -band 0x10)) -and !$d){throw '升级包文件/目录属性冲突'}
  $l=$e.Length
  if($l -lt 0 -or $l -gt 536870912 -or ($d -and $l)){throw '升级包单文件大小超限'}
  if($l -gt 1048576 -and $l -gt 200*[Math]::Max([long]1,$e.CompressedLength)){throw '升级包压缩比异常'}
  $total+=$l
  if($total -gt 2147483648){throw '升级包解压体积超过2GiB'}
  $tp=[IO.Path]::GetFullPath([IO.Path]::Combine($root,$p))
  if(!$tp.StartsWith($under,$ic)){throw '升级包路径越界'}
  if(!$d){$files.Add(@($e,$tp,$p))}
 }
 # Ancestors are checked after the pass, so the order of entries does not matter.
 foreach($k in $t.Keys){
  $i=$k.IndexOf('/',$ic)
  while($i -gt 0){
   $q=$k.Substring(0,$i)
   if($t.ContainsKey($q) -and !$t[$q]){throw '升级包路径发生文件/目录冲突'}
   $i=$k.IndexOf('/',$i+1,$ic)
  }
 }
 $r=''
 if($t.ContainsKey('app/release.json')){$r='app/'}
 foreach($q in 'release.json','Lumetra.exe','Pannix.exe','PannixRuntime.exe','LumetraMcpServer.exe','LumetraUpdater.exe'){
  if(!$t.ContainsKey($r+$q) -or $t[$r+$q]){throw '升级包缺少清单或配套程序'}
 }
 if($r){foreach($k in $t.Keys){if(!"$k/".StartsWith('app/',$ic)){throw '升级包混合了app目录和外部文件'}}}
 foreach($f in $files){if([string]::Equals($f[2],$r+'release.json',$ic)){$m=$f[0];break}}
 if($m.Length -gt 1048576){throw '升级清单过大'}
 # Read no more than the recorded length: a stored entry may carry more data than it declares.
 $s=$m.Open()
 try{$b=[IO.BinaryReader]::new($s).ReadBytes([int]$m.Length)}finally{$s.Dispose()}
 $x=[IO.StreamReader]::new([IO.MemoryStream]::new($b),[Text.Encoding]::UTF8,$true).ReadToEnd()
 $j=$x|ConvertFrom-Json
 if(!$x.TrimStart().StartsWith('{',$ic) -or $j.version -isnot [string] -or $j.version -notmatch '^\d+\.\d+\.\d+(?:\.\d+)?$' -or $j.architecture -isnot [string] -or !'x64'.Equals($j.architecture,$ic)){throw '升级清单版本或架构无效'}
 $buf=[byte[]]::new(131072)
 $ux=$PSVersionTable.Platform -eq 'Unix'
 foreach($f in $files){
  $e=$f[0]
  $tp=$f[1]
  Assert-NoLink $tp
  [void][IO.Directory]::CreateDirectory([IO.Path]::GetDirectoryName($tp))
  Assert-NoLink $tp
  $in=$null
  $o=$null
  try{
   $in=$e.Open()
   $o=[IO.FileStream]::new($tp,'CreateNew','Write','None')
   [long]$w=0
   while(($k=$in.Read($buf,0,131072)) -gt 0){
    $w+=$k
    if($w -gt $e.Length){throw '解压长度与升级包记录不符'}
    $o.Write($buf,0,$k)
   }
   if($w -ne $e.Length){throw '升级包文件截断'}
   $mode=($e.ExternalAttributes -shr 16) -band 511
   if($ux -and $mode){[IO.File]::SetUnixFileMode($o.SafeFileHandle,$mode)}
   $o.Flush($true)
  }finally{
   if($o){$o.Dispose()}
   if($in){$in.Dispose()}
  }
 }
}finally{
 if($z){$z.Dispose()}
 $fs.Dispose()
}
}
