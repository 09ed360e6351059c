// The Qor starter protocol for launchers written in C#: P/Invoke declarations of
// QorLauncherKit.dll, which ships beside the launcher's executable in every version folder,
// and a small class over them that throws QorKitException. Every rule of the protocol lives
// in the DLL.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

namespace Qor.LauncherKit
{
    internal static class NativeMethods
    {
        private const string Dll = "QorLauncherKit.dll";

        public const int Ok = 0;
        public const int BufferTooSmall = 3;
        public const int IdentityBufferSize = 65;

        [StructLayout(LayoutKind.Sequential)]
        public struct LauncherState
        {
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = IdentityBufferSize)] public byte[] CurrentVersion;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = IdentityBufferSize)] public byte[] StagedVersion;
            public int TrialPending;
        }

        // Text goes in as NUL-terminated UTF-8 byte arrays: the DLL takes UTF-8 only.
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_interface_version();
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_copy_last_error_message(byte[] buffer, UIntPtr size, out UIntPtr required);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_launch_from_command_line(out IntPtr launch);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_launch_from_arguments(IntPtr[] arguments, UIntPtr count, out IntPtr launch);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_launch_free(IntPtr launch);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_launch_user_argument_count(IntPtr launch, out UIntPtr count);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_launch_user_argument(IntPtr launch, UIntPtr index, byte[] buffer, UIntPtr size, out UIntPtr required);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_launch_started_by_starter(IntPtr launch, out int value);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_launch_after_rollback(IntPtr launch, out int value);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_launch_root(IntPtr launch, byte[] buffer, UIntPtr size, out UIntPtr required);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_launch_readiness_token(IntPtr launch, byte[] buffer, UIntPtr size, out UIntPtr required);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_own_version_identity(byte[] buffer, UIntPtr size, out UIntPtr required);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_is_valid_version_identity(byte[] identity, out int valid);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_signal_readiness(IntPtr launch);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_signal_readiness_as(IntPtr launch, byte[] identity);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_read_launcher_state(byte[] root, out LauncherState state);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_stage_version(byte[] root, byte[] identity);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_install_version(byte[] root, byte[] source, byte[] identity, UIntPtr size, out UIntPtr required);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_prune_versions(byte[] root);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_list_count(IntPtr list, out UIntPtr count);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_list_text(IntPtr list, UIntPtr index, byte[] buffer, UIntPtr size, out UIntPtr required);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_list_flag(IntPtr list, UIntPtr index, out int flag);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_list_free(IntPtr list);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_initialize_launcher_root(byte[] root, byte[] starter, byte[] version, byte[] identity, UIntPtr size, out UIntPtr required);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_create_launcher_state(byte[] root, byte[] identity);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_check_launcher_root(byte[] root, out IntPtr findings);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_remove_launcher_root(byte[] root, out IntPtr left);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_stage_version_retry(byte[] root, byte[] identity);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_failed_update(byte[] root, byte[] identity, UIntPtr size, out UIntPtr required);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern uint qor_kit_last_error_system_code();
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_log(byte[] root, byte[] line);
        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)] public static extern IntPtr LoadLibraryExW(string name, IntPtr file, uint flags);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)] public static extern int qor_kit_install_version_expecting(byte[] root, byte[] source, byte[] expected, byte[] identity, UIntPtr size, out UIntPtr required);
    }

    /// <summary>What went wrong; the values are the C interface's statuses (protocol.md's table of
    /// failure kinds).</summary>
    public enum QorKitErrorKind
    {
        Failed = 1,
        InvalidArgument = 2,
        BufferTooSmall = 3,
        OutOfMemory = 4,
        UpdateAlreadyFailed = 5,
        VersionNotInstalled = 6,
        IdentityMismatch = 7,
        InvalidIdentity = 8,
        RootBusy = 9,
        StarterRunning = 10,
        NotLauncherRoot = 11,
        SystemError = 12,
        BadSignature = 13,
        InvalidUpdate = 14,
        DownloadFailed = 15,
        Cancelled = 16,
        OlderRelease = 17,
    }

    /// <summary>A failure of the kit: its kind (the C status), the DLL's message and, for
    /// SystemError, the Windows error code.</summary>
    public class QorKitException : Exception
    {
        public QorKitErrorKind Kind { get; private set; }
        public int Status { get { return (int)Kind; } }
        public uint SystemCode { get; private set; }
        public QorKitException(int status, string message, uint systemCode = 0) : base(message)
        {
            Kind = (QorKitErrorKind)status;
            SystemCode = systemCode;
        }
    }

    public sealed class LauncherState
    {
        public string CurrentVersion { get; internal set; }
        public string StagedVersion { get; internal set; } // null when nothing is staged
        public bool TrialPending { get; internal set; }
    }

    /// <summary>One thing that would stop or spoil a start, in one line saying what to do.</summary>
    public sealed class RootFinding
    {
        public bool StopsStart { get; internal set; }
        public string Text { get; internal set; }
    }

    /// <summary>What the starter told this launcher. Dispose frees the DLL's record.</summary>
    public sealed partial class Launch : IDisposable
    {
        public const int RestartExitCode = 73;
        public const int InterfaceVersion = 2;

        private IntPtr handle;
        public IList<string> UserArguments { get; private set; }
        public bool StartedByStarter { get; private set; }
        /// <summary>Some update of this run failed to start; compare OwnVersionIdentity with the version you meant to install.</summary>
        public bool AfterRollback { get; private set; }
        public string LauncherRoot { get; private set; }
        public string ReadinessToken { get; private set; }

        private delegate int TextCall(byte[] buffer, UIntPtr size, out UIntPtr required);

        internal static byte[] Utf8(string text)
        {
            if (text == null) throw new ArgumentNullException("text");
            if (text.IndexOf('\0') >= 0)
                throw new QorKitException((int)QorKitErrorKind.InvalidArgument, "Text holds a NUL character");
            var bytes = Encoding.UTF8.GetBytes(text);
            Array.Resize(ref bytes, bytes.Length + 1);
            return bytes;
        }

        // The message is per thread; it is read right after the failed call, on the same one.
        internal static void Check(int status)
        {
            if (status == NativeMethods.Ok) return;
            UIntPtr required;
            var buffer = new byte[512];
            if (NativeMethods.qor_kit_copy_last_error_message(buffer, (UIntPtr)buffer.Length, out required) == NativeMethods.BufferTooSmall)
            {
                buffer = new byte[(int)required];
                NativeMethods.qor_kit_copy_last_error_message(buffer, (UIntPtr)buffer.Length, out required);
            }
            string message = Encoding.UTF8.GetString(buffer, 0, Math.Max(0, (int)required - 1));
            throw new QorKitException(status, message, NativeMethods.qor_kit_last_error_system_code());
        }

        internal static void CheckInterface()
        {
            int version;
            try
            {
                version = NativeMethods.qor_kit_interface_version();
            }
            catch (Exception error) when (error is DllNotFoundException || error is BadImageFormatException)
            {
                throw CannotLoad();
            }
            if (version != InterfaceVersion)
                throw new QorKitException((int)QorKitErrorKind.Failed,
                    "QorLauncherKit.dll implements interface " + version + ", this binding needs " + InterfaceVersion);
        }

        // The DLL could not be loaded (missing from the version folder, damaged, quarantined):
        // one line in the root's launcher.log, where the starter's box sends the user, since the
        // kit cannot write it. The runtime does not keep Windows' code, so it is asked once more.
        private static QorKitException CannotLoad()
        {
            string executable = Process.GetCurrentProcess().MainModule.FileName;
            string path = Path.Combine(Path.GetDirectoryName(executable), "QorLauncherKit.dll");
            uint code = 0;
            if (NativeMethods.LoadLibraryExW(path, IntPtr.Zero, 0) == IntPtr.Zero)
                code = (uint)Marshal.GetLastWin32Error();
            string reason = new System.ComponentModel.Win32Exception((int)code).Message;
            string message = "Cannot load QorLauncherKit.dll (error " + code + "): " + reason;
            var error = new QorKitException((int)QorKitErrorKind.SystemError, message, code);
            AppendBesideKit(executable, error.Message);
            return error;
        }

        // One line to <root>\launcher.log without the kit: the root is two folders above the
        // executable (<root>\versions\<identity>\QorLauncher.exe). Run from anywhere else it
        // writes nothing; a launcher.log that is a link is not written through.
        private static void AppendBesideKit(string executable, string line)
        {
            try
            {
                string versions = Path.GetDirectoryName(Path.GetDirectoryName(executable));
                if (!string.Equals(Path.GetFileName(versions), "versions", StringComparison.OrdinalIgnoreCase)) return;
                string log = Path.Combine(Path.GetDirectoryName(versions), "launcher.log");
                if (File.Exists(log) && (File.GetAttributes(log) & FileAttributes.ReparsePoint) != 0) return;
                string record = DateTime.UtcNow.ToString("yyyy-MM-dd'T'HH:mm:ss.fff'Z'") + " [" +
                                Process.GetCurrentProcess().Id + "] " + line + "\n";
                var sharing = FileShare.ReadWrite | FileShare.Delete;
                using (var file = new FileStream(log, FileMode.Append, FileAccess.Write, sharing))
                {
                    byte[] bytes = Encoding.UTF8.GetBytes(record);
                    file.Write(bytes, 0, bytes.Length);
                }
            }
            catch (Exception)
            {
                // Nowhere left to say it.
            }
        }

        // Reads text the DLL writes into a buffer, growing it once to the size asked for.
        private static string ReadText(TextCall call)
        {
            UIntPtr required;
            var buffer = new byte[128];
            int status = call(buffer, (UIntPtr)buffer.Length, out required);
            if (status == NativeMethods.BufferTooSmall)
            {
                buffer = new byte[(int)required];
                status = call(buffer, (UIntPtr)buffer.Length, out required);
            }
            Check(status);
            return Encoding.UTF8.GetString(buffer, 0, (int)required - 1);
        }

        /// <summary>From this process's command line as Windows passed it.</summary>
        public static Launch FromCommandLine()
        {
            CheckInterface();
            IntPtr raw;
            Check(NativeMethods.qor_kit_launch_from_command_line(out raw));
            return new Launch(raw);
        }

        /// <summary>From a list of arguments without the program name.</summary>
        public static Launch FromArguments(IList<string> arguments)
        {
            CheckInterface();
            var pinned = new List<GCHandle>();
            try
            {
                var pointers = new IntPtr[arguments.Count];
                for (int i = 0; i < arguments.Count; ++i)
                {
                    pinned.Add(GCHandle.Alloc(Utf8(arguments[i]), GCHandleType.Pinned));
                    pointers[i] = pinned[i].AddrOfPinnedObject();
                }
                IntPtr raw;
                Check(NativeMethods.qor_kit_launch_from_arguments(pointers, (UIntPtr)pointers.Length, out raw));
                return new Launch(raw);
            }
            finally
            {
                foreach (var handle in pinned) handle.Free();
            }
        }

        private Launch(IntPtr raw)
        {
            handle = raw;
            try
            {
                UIntPtr count;
                Check(NativeMethods.qor_kit_launch_user_argument_count(raw, out count));
                var arguments = new List<string>();
                for (ulong i = 0; i < (ulong)count; ++i)
                {
                    var index = (UIntPtr)i;
                    arguments.Add(ReadText((byte[] b, UIntPtr s, out UIntPtr r) => NativeMethods.qor_kit_launch_user_argument(raw, index, b, s, out r)));
                }
                UserArguments = arguments.AsReadOnly();
                int flag;
                Check(NativeMethods.qor_kit_launch_started_by_starter(raw, out flag));
                StartedByStarter = flag != 0;
                Check(NativeMethods.qor_kit_launch_after_rollback(raw, out flag));
                AfterRollback = flag != 0;
                LauncherRoot = ReadText((byte[] b, UIntPtr s, out UIntPtr r) => NativeMethods.qor_kit_launch_root(raw, b, s, out r));
                ReadinessToken = ReadText((byte[] b, UIntPtr s, out UIntPtr r) => NativeMethods.qor_kit_launch_readiness_token(raw, b, s, out r));
            }
            catch
            {
                Dispose();
                throw;
            }
        }

        /// <summary>Tells the starter this launcher is ready, as its own version.</summary>
        public void SignalReadiness() { Check(NativeMethods.qor_kit_signal_readiness(handle)); }

        public void SignalReadinessAs(string identity) { Check(NativeMethods.qor_kit_signal_readiness_as(handle, Utf8(identity))); }

        public void Dispose()
        {
            if (handle == IntPtr.Zero) return;
            NativeMethods.qor_kit_launch_free(handle);
            handle = IntPtr.Zero;
        }

        /// <summary>The identity of the running launcher: its executable's folder name.</summary>
        public static string OwnVersionIdentity()
        {
            CheckInterface();
            return ReadText((byte[] b, UIntPtr s, out UIntPtr r) => NativeMethods.qor_kit_own_version_identity(b, s, out r));
        }

        public static bool IsValidVersionIdentity(string identity)
        {
            int valid;
            return NativeMethods.qor_kit_is_valid_version_identity(Utf8(identity), out valid) == NativeMethods.Ok && valid != 0;
        }

        private static string Field(byte[] bytes)
        {
            int end = Array.IndexOf(bytes, (byte)0);
            return Encoding.UTF8.GetString(bytes, 0, end < 0 ? bytes.Length : end);
        }

        public static LauncherState ReadLauncherState(string launcherRoot)
        {
            CheckInterface();
            NativeMethods.LauncherState raw;
            Check(NativeMethods.qor_kit_read_launcher_state(Utf8(launcherRoot), out raw));
            string staged = Field(raw.StagedVersion);
            return new LauncherState
            {
                CurrentVersion = Field(raw.CurrentVersion),
                StagedVersion = staged.Length == 0 ? null : staged,
                TrialPending = raw.TrialPending != 0,
            };
        }

        /// <summary>Stages an installed version; exit with RestartExitCode to be started in it.</summary>
        public static void StageVersion(string launcherRoot, string identity)
        {
            CheckInterface();
            Check(NativeMethods.qor_kit_stage_version(Utf8(launcherRoot), Utf8(identity)));
        }

        /// <summary>Stages again an update whose last trial failed, which StageVersion refuses.</summary>
        public static void StageVersionRetry(string launcherRoot, string identity)
        {
            CheckInterface();
            Check(NativeMethods.qor_kit_stage_version_retry(Utf8(launcherRoot), Utf8(identity)));
        }

        /// <summary>The update whose trial failed, null when none did: ask it when started after a rollback.</summary>
        public static string FailedUpdate(string launcherRoot)
        {
            CheckInterface();
            byte[] root = Utf8(launcherRoot);
            string identity = ReadText((byte[] b, UIntPtr s, out UIntPtr r) => NativeMethods.qor_kit_failed_update(root, b, s, out r));
            return identity.Length == 0 ? null : identity;
        }

        /// <summary>Installs a download whose identity was announced; any other content is refused.</summary>
        public static string InstallVersionExpecting(string launcherRoot, string sourceFolder, string expectedIdentity)
        {
            CheckInterface();
            byte[] root = Utf8(launcherRoot), source = Utf8(sourceFolder), expected = Utf8(expectedIdentity);
            return ReadText((byte[] b, UIntPtr s, out UIntPtr r) => NativeMethods.qor_kit_install_version_expecting(root, source, expected, b, s, out r));
        }

        /// <summary>Installs sourceFolder (QorLauncher.exe at its top) as a version and returns its identity.</summary>
        public static string InstallVersion(string launcherRoot, string sourceFolder)
        {
            CheckInterface();
            byte[] root = Utf8(launcherRoot), source = Utf8(sourceFolder);
            return ReadText((byte[] b, UIntPtr s, out UIntPtr r) => NativeMethods.qor_kit_install_version(root, source, b, s, out r));
        }

        /// <summary>Lays out a first install in a missing or empty folder and returns the version's identity.</summary>
        public static string InitializeLauncherRoot(string launcherRoot, string starterExecutable, string versionFolder)
        {
            CheckInterface();
            byte[] root = Utf8(launcherRoot), starter = Utf8(starterExecutable), version = Utf8(versionFolder);
            return ReadText((byte[] b, UIntPtr s, out UIntPtr r) => NativeMethods.qor_kit_initialize_launcher_root(root, starter, version, b, s, out r));
        }

        /// <summary>Writes the first launcher-state, with an installed version current and nothing staged.</summary>
        public static void CreateLauncherState(string launcherRoot, string currentIdentity)
        {
            CheckInterface();
            Check(NativeMethods.qor_kit_create_launcher_state(Utf8(launcherRoot), Utf8(currentIdentity)));
        }

        // Reads, then frees, a list the DLL handed out.
        private static List<RootFinding> TakeList(IntPtr list)
        {
            try
            {
                UIntPtr count;
                Check(NativeMethods.qor_kit_list_count(list, out count));
                var items = new List<RootFinding>();
                for (ulong i = 0; i < (ulong)count; ++i)
                {
                    var index = (UIntPtr)i;
                    int flag;
                    string text = ReadText((byte[] b, UIntPtr s, out UIntPtr r) => NativeMethods.qor_kit_list_text(list, index, b, s, out r));
                    Check(NativeMethods.qor_kit_list_flag(list, index, out flag));
                    items.Add(new RootFinding { StopsStart = flag != 0, Text = text });
                }
                return items;
            }
            finally
            {
                NativeMethods.qor_kit_list_free(list);
            }
        }

        /// <summary>Reads the root as the starter would start it; empty when nothing is found. Changes nothing.</summary>
        public static IList<RootFinding> CheckLauncherRoot(string launcherRoot)
        {
            CheckInterface();
            IntPtr list;
            Check(NativeMethods.qor_kit_check_launcher_root(Utf8(launcherRoot), out list));
            return TakeList(list).AsReadOnly();
        }

        /// <summary>Uninstalls the root, unless a starter runs in it; returns the paths it had to leave.</summary>
        public static IList<string> RemoveLauncherRoot(string launcherRoot)
        {
            CheckInterface();
            IntPtr list;
            Check(NativeMethods.qor_kit_remove_launcher_root(Utf8(launcherRoot), out list));
            return TakeList(list).ConvertAll(item => item.Text).AsReadOnly();
        }

        /// <summary>Removes versions that are neither current, staged nor the caller's own. Call once ready.</summary>
        public static void PruneVersions(string launcherRoot)
        {
            CheckInterface();
            Check(NativeMethods.qor_kit_prune_versions(Utf8(launcherRoot)));
        }

        /// <summary>Appends a line to &lt;root&gt;\launcher.log, stamped with the time and the process id;
        /// capped at 1 MiB with one older log kept.</summary>
        public static void Log(string launcherRoot, string line)
        {
            CheckInterface();
            Check(NativeMethods.qor_kit_log(Utf8(launcherRoot), Utf8(line)));
        }
    }
}
