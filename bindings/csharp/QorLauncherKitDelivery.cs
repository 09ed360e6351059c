// Update delivery for C# launchers: the release a signed feed offers, and a download of only
// what changed, whose progress and cancellation reach a delegate. The DLL's section 7.
using System;
using System.Runtime.ExceptionServices;
using System.Runtime.InteropServices;
using System.Text;

namespace Qor.LauncherKit
{
    internal static class DeliveryNativeMethods
    {
        private const string Dll = "QorLauncherKit.dll";
        private const CallingConvention Cdecl = CallingConvention.Cdecl;

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate int Progress(IntPtr context, ulong done, ulong total);

        // unsigned long is 32 bits on Windows.
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int qor_kit_check_for_update(byte[] root, byte[] feedUrl, byte[] publicKey,
                                                          int retryFailedUpdate, uint timeoutMilliseconds,
                                                          out IntPtr update);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int qor_kit_update_identity(IntPtr update, byte[] buffer, UIntPtr size,
                                                         out UIntPtr required);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int qor_kit_update_release(IntPtr update, out ulong release);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int qor_kit_update_size(IntPtr update, out ulong size);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int qor_kit_update_notes(IntPtr update, byte[] buffer, UIntPtr size, out UIntPtr required);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int qor_kit_update_free(IntPtr update);
        [DllImport(Dll, CallingConvention = Cdecl)]
        public static extern int qor_kit_download_update(byte[] root, IntPtr update, Progress progress, IntPtr context,
                                                         byte[] identity, UIntPtr size, out UIntPtr required);
    }

    /// <summary>A release a signed feed offers. Dispose frees the DLL's record.</summary>
    public sealed class Update : IDisposable
    {
        internal IntPtr Handle { get; private set; }
        public string Identity { get; internal set; }
        public ulong Release { get; internal set; }
        /// <summary>All of the version's files, in bytes.</summary>
        public ulong Size { get; internal set; }
        public string Notes { get; internal set; }

        internal Update(IntPtr handle) { Handle = handle; }

        public void Dispose()
        {
            if (Handle == IntPtr.Zero) return;
            DeliveryNativeMethods.qor_kit_update_free(Handle);
            Handle = IntPtr.Zero;
            GC.SuppressFinalize(this);
        }

        ~Update() { Dispose(); }
    }

    public sealed class UpdateOptions
    {
        /// <summary>Offer the update whose trial failed here again.</summary>
        public bool RetryFailedUpdate { get; set; }
        /// <summary>Longest wait for the server; null: the kit's 30 seconds.</summary>
        public TimeSpan? Timeout { get; set; }
    }

    public sealed partial class Launch
    {
        /// <summary>The release the feed at feedUrl offers, verified with publicKey (as
        /// <c>qorrelease keygen</c> prints it); null when nothing is newer.</summary>
        public static Update CheckForUpdate(string launcherRoot, string feedUrl, string publicKey,
                                            UpdateOptions options = null)
        {
            CheckInterface();
            options = options ?? new UpdateOptions();
            uint timeout = 0;
            if (options.Timeout.HasValue)
                timeout = (uint)Math.Min(uint.MaxValue, Math.Max(1.0, options.Timeout.Value.TotalMilliseconds));
            IntPtr handle;
            Check(DeliveryNativeMethods.qor_kit_check_for_update(Utf8(launcherRoot), Utf8(feedUrl), Utf8(publicKey),
                                                                 options.RetryFailedUpdate ? 1 : 0, timeout,
                                                                 out handle));
            if (handle == IntPtr.Zero) return null;
            var update = new Update(handle);
            try
            {
                update.Identity = ReadText((byte[] b, UIntPtr s, out UIntPtr r) =>
                                               DeliveryNativeMethods.qor_kit_update_identity(handle, b, s, out r));
                update.Notes = ReadText((byte[] b, UIntPtr s, out UIntPtr r) =>
                                            DeliveryNativeMethods.qor_kit_update_notes(handle, b, s, out r));
                ulong number;
                Check(DeliveryNativeMethods.qor_kit_update_release(handle, out number));
                update.Release = number;
                Check(DeliveryNativeMethods.qor_kit_update_size(handle, out number));
                update.Size = number;
                return update;
            }
            catch
            {
                update.Dispose();
                throw;
            }
        }

        /// <summary>Fetches only what changed, verifies it and installs the version; returns the
        /// identity to stage. progress (may be null) is called on this thread with the bytes fetched
        /// and the bytes to fetch; returning false cancels (QorKitErrorKind.Cancelled), keeping what
        /// was fetched for the next call to resume. An exception it throws cancels, and is thrown
        /// again when the call returns.</summary>
        public static string DownloadUpdate(string launcherRoot, Update update,
                                            Func<ulong, ulong, bool> progress = null)
        {
            CheckInterface();
            if (update == null || update.Handle == IntPtr.Zero)
                throw new ArgumentException("The update is null or disposed", "update");
            ExceptionDispatchInfo thrown = null;
            DeliveryNativeMethods.Progress report = null;
            if (progress != null)
            {
                report = (IntPtr context, ulong done, ulong total) =>
                {
                    if (thrown != null) return 1;
                    try
                    {
                        return progress(done, total) ? 0 : 1;
                    }
                    catch (Exception error)
                    {
                        thrown = ExceptionDispatchInfo.Capture(error);
                        return 1;
                    }
                };
            }
            // Never asked twice: the identity's 65 bytes always suffice.
            var buffer = new byte[NativeMethods.IdentityBufferSize];
            UIntPtr required;
            int status = DeliveryNativeMethods.qor_kit_download_update(Utf8(launcherRoot), update.Handle, report,
                                                                       IntPtr.Zero, buffer, (UIntPtr)buffer.Length,
                                                                       out required);
            GC.KeepAlive(report);  // the DLL calls it until the call returns
            GC.KeepAlive(update);
            if (thrown != null) thrown.Throw();
            Check(status);
            return Encoding.UTF8.GetString(buffer, 0, (int)required - 1);
        }
    }
}
