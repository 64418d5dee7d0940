// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * The B.EXO board's side of a Raspberry Pi, for a test kernel: an I2C
 * adapter registered as bus 1 (so i2c-dev gives /dev/i2c-1) and a GPIO chip
 * named like the Pi's whose line 27 can raise an interrupt, so that sysfs
 * "edge" and poll() work as on a Pi. Both are served by user space through
 * /dev/bexo-board, a byte stream that a relay copies to and from the board
 * model on the host.
 *
 * The parameter "chip" names the Pi's GPIO block the chip imitates, at load
 * time or later (the chip is then registered anew, its lines unexported):
 * bcm2835 (Pi 1 to 3: "pinctrl-bcm2835", 54 lines), bcm2711 (Pi 4:
 * "pinctrl-bcm2711", 58 lines) or rp1 (Pi 5: "pinctrl-rp1", 54 lines).
 * The parameter "edge" likewise: works (line 27 has its interrupt), missing
 * (a chip without interrupts: sysfs shows no "edge" file) or refused
 * (every edge but "none" fails with EIO).
 *
 * A transfer waits for its answer as long as the adapter's timeout (the
 * I2C core's default of one second, or what I2C_TIMEOUT set), then fails
 * with ETIMEDOUT, as the Pi's own i2c-bcm2835 does.
 *
 * Read from /dev/bexo-board (numbers little-endian):
 *   'T' seq pid:u32 usec:u64 addr count, then per message flags(1 = read)
 *       len:u16 and a write's bytes: one transfer, waiting for its answer;
 *   'L' usec:u64 level: the host's level of line 27 took effect.
 * Written to it:
 *   'R' seq errno count bytes: the answer, the bytes of the read messages
 *       in order; errno 0 for success;
 *   'L' level: the board drives line 27 to this level.
 * The times are the kernel's boot clock, as /proc/uptime shows it.
 */
#include <linux/completion.h>
#include <linux/gpio/driver.h>
#include <linux/i2c.h>
#include <linux/irq.h>
#include <linux/irq_work.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/sched.h>
#include <linux/timekeeping.h>
#include <linux/uaccess.h>
#include <linux/wait.h>

#define MAX_LINES 58
#define EVENT_LINE 27
#define STREAM_SIZE 4096

/* ---- the stream to user space */

static DEFINE_MUTEX(out_lock);
static DECLARE_WAIT_QUEUE_HEAD(out_wait);
static u8 out_buf[STREAM_SIZE];
static size_t out_len;

static int queue_out(const u8 *bytes, size_t len)
{
	int ret = -ENOSPC;

	mutex_lock(&out_lock);
	if (out_len + len <= sizeof(out_buf)) {
		memcpy(out_buf + out_len, bytes, len);
		out_len += len;
		ret = 0;
	}
	mutex_unlock(&out_lock);
	wake_up_interruptible(&out_wait);
	return ret;
}

static size_t put_le(u8 *at, u64 value, int bytes)
{
	int i;

	for (i = 0; i < bytes; i++)
		at[i] = (u8)(value >> (8 * i));
	return bytes;
}

static u64 now_usec(void)
{
	return div_u64(ktime_get_boottime_ns(), NSEC_PER_USEC);
}

/* ---- the I2C adapter: each transfer waits for the host's answer */

static DEFINE_MUTEX(answer_lock);
static DECLARE_COMPLETION(answered);
static u8 pending_seq;
static bool pending;
static int answer_errno;
static u8 answer[STREAM_SIZE];
static size_t answer_len;

static int board_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	static u8 frame[STREAM_SIZE];
	size_t len = 0, want = 0, got;
	int i, ret;

	frame[len++] = 'T';
	mutex_lock(&answer_lock);
	frame[len++] = ++pending_seq;
	pending = true;
	answer_errno = ETIMEDOUT;
	reinit_completion(&answered);
	mutex_unlock(&answer_lock);
	len += put_le(frame + len, task_tgid_nr(current), 4);
	len += put_le(frame + len, now_usec(), 8);
	frame[len++] = (u8)msgs[0].addr;
	frame[len++] = (u8)num;
	for (i = 0; i < num; i++) {
		const bool read = msgs[i].flags & I2C_M_RD;

		if (num > 255 || len + 3 + msgs[i].len > sizeof(frame))
			return -EINVAL;
		frame[len++] = read ? 1 : 0;
		len += put_le(frame + len, msgs[i].len, 2);
		if (read) {
			want += msgs[i].len;
		} else {
			memcpy(frame + len, msgs[i].buf, msgs[i].len);
			len += msgs[i].len;
		}
	}
	ret = queue_out(frame, len);
	if (ret)
		return ret;
	wait_for_completion_timeout(&answered, adap->timeout);

	mutex_lock(&answer_lock);
	pending = false;
	ret = -answer_errno;
	if (!answer_errno && answer_len != want)
		ret = -EIO;
	for (i = 0, got = 0; !ret && i < num; i++) {
		if (!(msgs[i].flags & I2C_M_RD))
			continue;
		memcpy(msgs[i].buf, answer + got, msgs[i].len);
		got += msgs[i].len;
	}
	mutex_unlock(&answer_lock);
	return ret ? ret : num;
}

static u32 board_functionality(struct i2c_adapter *adap)
{
	return I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
}

static const struct i2c_algorithm board_algorithm = {
	.master_xfer = board_xfer,
	.functionality = board_functionality,
};

static struct i2c_adapter adapter = {
	.owner = THIS_MODULE,
	.name = "bexo-board",
	.algo = &board_algorithm,
	.nr = 1,
};

/* ---- the GPIO chip: line 27 follows the host; the rest read low */

/*
 * A line given up (unexported) returns to an input on the BCM2835 and
 * BCM2711, whose pinctrl driver sets a freed pin to GPIO_IN; Raspberry Pi's
 * RP1 driver keeps an output as it is (its persist_gpio_outputs, on by
 * default).
 */
static const struct chip_model {
	const char *name;
	const char *label;
	u16 lines;
	bool outputs_persist;
} models[] = {
	{ "bcm2835", "pinctrl-bcm2835", 54, false },
	{ "bcm2711", "pinctrl-bcm2711", 58, false },
	{ "rp1", "pinctrl-rp1", 54, true },
};

enum { EDGE_WORKS, EDGE_MISSING, EDGE_REFUSED };
static const char *const edge_names[] = { "works", "missing", "refused" };

static DEFINE_MUTEX(chip_lock);	/* the model, the edges and the chip's registration */
static const struct chip_model *model = &models[0];
static int edges = EDGE_WORKS;
static bool chip_added;

static DEFINE_SPINLOCK(line_lock);
static bool is_output[MAX_LINES];
static bool driven[MAX_LINES];	/* what the Pi drives on an output */
static bool board_level;       /* what the board drives on line 27 */
static bool irq_enabled;
static unsigned int irq_type;
static struct gpio_chip chip;
static struct irq_work fire;

static int line_get_direction(struct gpio_chip *gc, unsigned int offset)
{
	return is_output[offset] ? GPIO_LINE_DIRECTION_OUT : GPIO_LINE_DIRECTION_IN;
}

static int line_direction_input(struct gpio_chip *gc, unsigned int offset)
{
	is_output[offset] = false;
	return 0;
}

static int line_direction_output(struct gpio_chip *gc, unsigned int offset, int value)
{
	driven[offset] = value;
	is_output[offset] = true;
	return 0;
}

static int line_get(struct gpio_chip *gc, unsigned int offset)
{
	if (is_output[offset])
		return driven[offset];
	return offset == EVENT_LINE && board_level;
}

static void line_set(struct gpio_chip *gc, unsigned int offset, int value)
{
	driven[offset] = value;
}

static void line_free(struct gpio_chip *gc, unsigned int offset)
{
	if (!model->outputs_persist)
		is_output[offset] = false;
}

static void fire_irq(struct irq_work *work)
{
	generic_handle_domain_irq(chip.irq.domain, EVENT_LINE);
}

static void irq_mask(struct irq_data *d)
{
	irq_enabled = false;
	gpiochip_disable_irq(&chip, irqd_to_hwirq(d));
}

static void irq_unmask(struct irq_data *d)
{
	gpiochip_enable_irq(&chip, irqd_to_hwirq(d));
	irq_enabled = true;
}

/* Edges only: sysfs asks for nothing else. */
static int irq_set_type(struct irq_data *d, unsigned int type)
{
	if (edges == EDGE_REFUSED)
		return -EIO;
	if (type & IRQ_TYPE_LEVEL_MASK)
		return -EINVAL;
	irq_type = type;
	return 0;
}

static const struct irq_chip board_irq_chip = {
	.name = "bexo-board",
	.irq_mask = irq_mask,
	.irq_unmask = irq_unmask,
	.irq_set_type = irq_set_type,
	.flags = IRQCHIP_IMMUTABLE | IRQCHIP_SKIP_SET_WAKE,
	GPIOCHIP_IRQ_RESOURCE_HELPERS,
};

static void set_board_level(bool level)
{
	unsigned long flags;
	bool edge;
	u8 frame[10];

	/* Stamped before the interrupt can run, for the latency of a wake-up. */
	frame[0] = 'L';
	put_le(frame + 1, now_usec(), 8);
	frame[9] = level;
	spin_lock_irqsave(&line_lock, flags);
	edge = level != board_level && irq_enabled && !is_output[EVENT_LINE] &&
	       (irq_type & (level ? IRQ_TYPE_EDGE_RISING : IRQ_TYPE_EDGE_FALLING));
	board_level = level;
	spin_unlock_irqrestore(&line_lock, flags);
	if (edge)
		irq_work_queue(&fire);
	queue_out(frame, sizeof(frame));
}

/* The chip as `model` describes it, registered with every line an input. */
static int add_chip(void)
{
	struct gpio_irq_chip *girq;
	unsigned long flags;
	int ret;

	spin_lock_irqsave(&line_lock, flags);
	memset(is_output, 0, sizeof(is_output));
	memset(driven, 0, sizeof(driven));
	irq_enabled = false;
	irq_type = IRQ_TYPE_NONE;
	spin_unlock_irqrestore(&line_lock, flags);
	memset(&chip, 0, sizeof(chip));
	chip.label = model->label;
	chip.owner = THIS_MODULE;
	chip.base = -1;
	chip.ngpio = model->lines;
	chip.get_direction = line_get_direction;
	chip.direction_input = line_direction_input;
	chip.direction_output = line_direction_output;
	chip.get = line_get;
	chip.set = line_set;
	chip.free = line_free;
	if (edges != EDGE_MISSING) {
		girq = &chip.irq;
		gpio_irq_chip_set_chip(girq, &board_irq_chip);
		girq->handler = handle_simple_irq;
		girq->default_type = IRQ_TYPE_NONE;
	}
	ret = gpiochip_add_data(&chip, NULL);
	chip_added = !ret;
	return ret;
}

static void remove_chip(void)
{
	unsigned long flags;

	if (!chip_added)
		return;
	spin_lock_irqsave(&line_lock, flags);
	irq_enabled = false;
	spin_unlock_irqrestore(&line_lock, flags);
	irq_work_sync(&fire);
	gpiochip_remove(&chip);
	chip_added = false;
}

/* The chip registered anew when `wanted` or `wanted_edges` differ. */
static int change_chip(const struct chip_model *wanted, int wanted_edges)
{
	int ret = 0;

	mutex_lock(&chip_lock);
	if (wanted != model || wanted_edges != edges || !chip_added) {
		model = wanted;
		edges = wanted_edges;
		if (chip_added) {
			remove_chip();
			ret = add_chip();
		}
	}
	mutex_unlock(&chip_lock);
	return ret;
}

static int set_chip_model(const char *value, const struct kernel_param *kp)
{
	const struct chip_model *wanted = NULL;
	int i;

	for (i = 0; i < ARRAY_SIZE(models); i++)
		if (sysfs_streq(value, models[i].name))
			wanted = &models[i];
	return wanted ? change_chip(wanted, edges) : -EINVAL;
}

static int get_chip_model(char *buffer, const struct kernel_param *kp)
{
	return sysfs_emit(buffer, "%s\n", model->name);
}

static const struct kernel_param_ops chip_model_ops = {
	.set = set_chip_model,
	.get = get_chip_model,
};
module_param_cb(chip, &chip_model_ops, NULL, 0644);
MODULE_PARM_DESC(chip, "the Pi's GPIO block imitated: bcm2835 (default), bcm2711 or rp1");

static int set_edges(const char *value, const struct kernel_param *kp)
{
	const int wanted = sysfs_match_string(edge_names, value);

	return wanted < 0 ? -EINVAL : change_chip(model, wanted);
}

static int get_edges(char *buffer, const struct kernel_param *kp)
{
	return sysfs_emit(buffer, "%s\n", edge_names[edges]);
}

static const struct kernel_param_ops edge_ops = {
	.set = set_edges,
	.get = get_edges,
};
module_param_cb(edge, &edge_ops, NULL, 0644);
MODULE_PARM_DESC(edge, "line 27's interrupt: works (default), missing or refused");

/* ---- /dev/bexo-board */

static DEFINE_MUTEX(in_lock);
static u8 in_buf[STREAM_SIZE];
static size_t in_len;

/* Bytes one whole frame at the start of in_buf takes; 0 when incomplete. */
static size_t frame_size(void)
{
	if (in_len >= 2 && in_buf[0] == 'L')
		return 2;
	if (in_len >= 4 && in_buf[0] == 'R' && in_len >= 4 + (size_t)in_buf[3])
		return 4 + in_buf[3];
	return 0;
}

static void take_answer(const u8 *frame)
{
	mutex_lock(&answer_lock);
	if (pending && frame[1] == pending_seq) {
		answer_errno = frame[2];
		answer_len = frame[3];
		memcpy(answer, frame + 4, answer_len);
		pending = false;
		complete(&answered);
	}
	mutex_unlock(&answer_lock);
}

static ssize_t board_write(struct file *file, const char __user *buf, size_t len, loff_t *pos)
{
	size_t size;
	ssize_t ret = len;

	mutex_lock(&in_lock);
	if (len > sizeof(in_buf) - in_len) {
		ret = -ENOSPC;
		goto out;
	}
	if (copy_from_user(in_buf + in_len, buf, len)) {
		ret = -EFAULT;
		goto out;
	}
	in_len += len;
	while ((size = frame_size()) > 0) {
		if (in_buf[0] == 'L')
			set_board_level(in_buf[1]);
		else
			take_answer(in_buf);
		memmove(in_buf, in_buf + size, in_len - size);
		in_len -= size;
	}
	if (in_len > 0 && in_buf[0] != 'L' && in_buf[0] != 'R') {
		in_len = 0;
		ret = -EPROTO;
	}
out:
	mutex_unlock(&in_lock);
	return ret;
}

static ssize_t board_read(struct file *file, char __user *buf, size_t len, loff_t *pos)
{
	ssize_t n;

	if (wait_event_interruptible(out_wait, READ_ONCE(out_len) > 0))
		return -ERESTARTSYS;
	mutex_lock(&out_lock);
	n = min(len, out_len);
	if (copy_to_user(buf, out_buf, n)) {
		n = -EFAULT;
	} else {
		memmove(out_buf, out_buf + n, out_len - n);
		out_len -= n;
	}
	mutex_unlock(&out_lock);
	return n;
}

static const struct file_operations board_fops = {
	.owner = THIS_MODULE,
	.read = board_read,
	.write = board_write,
	.llseek = noop_llseek,
};

static struct miscdevice board_device = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "bexo-board",
	.fops = &board_fops,
};

static int __init board_init(void)
{
	int ret;

	init_irq_work(&fire, fire_irq);
	mutex_lock(&chip_lock);
	ret = add_chip();
	mutex_unlock(&chip_lock);
	if (ret)
		return ret;
	ret = misc_register(&board_device);
	if (ret)
		goto no_device;
	ret = i2c_add_numbered_adapter(&adapter);
	if (ret)
		goto no_adapter;
	return 0;
no_adapter:
	misc_deregister(&board_device);
no_device:
	mutex_lock(&chip_lock);
	remove_chip();
	mutex_unlock(&chip_lock);
	return ret;
}

static void __exit board_exit(void)
{
	i2c_del_adapter(&adapter);
	misc_deregister(&board_device);
	mutex_lock(&chip_lock);
	remove_chip();
	mutex_unlock(&chip_lock);
}

module_init(board_init);
module_exit(board_exit);
MODULE_DESCRIPTION("B.EXO board on I2C bus 1 and GPIO 27 of a Pi's GPIO chip, served from user space");
MODULE_LICENSE("GPL");
